#include "stage/op_table.h"

#include <algorithm>

namespace {

// The short run is merged when it reaches about the square root of the long
// one: an addition then moves at most that many entries, and a merge comes
// once per that many additions. The root is taken in integers (Newton's
// steps), so that the program needs no maths library.
size_t recent_limit(size_t sorted) {
  size_t root = sorted;
  for (size_t next = (root + 1) / 2; next < root; next = (root + sorted / root) / 2) root = next;
  return std::max<size_t>(64, root);
}

size_t common_prefix(std::string_view a, std::string_view b) {
  size_t most = std::min({a.size(), b.size(), size_t{UINT16_MAX}});
  size_t n = 0;
  while (n < most && a[n] == b[n]) ++n;
  return n;
}

}  // namespace

void op_table::iterator::read() {
  if (!table_ || at_ >= table_->sorted_.size()) return;
  const slot& entry = table_->sorted_[at_];
  std::string_view target = table_->arena_->view(entry.target);
  entry_.first.assign(target);
  entry_.second.kind = entry.kind;
  table_->read_source(entry, entry_.second.source);
}

std::vector<op_table::slot>::iterator op_table::place_in(std::vector<slot>& run, const path_arena& arena,
                                                         std::string_view target) {
  return std::lower_bound(run.begin(), run.end(), target,
                          [&](const slot& entry, std::string_view key) { return arena.view(entry.target) < key; });
}

op_table::slot* op_table::in_run(std::vector<slot>& run, const path_arena& arena, std::string_view target) {
  auto at = place_in(run, arena, target);
  return at != run.end() && arena.view(at->target) == target ? &*at : nullptr;
}

op_table::slot* op_table::lookup(std::string_view target) const {
  if (!arena_) return nullptr;
  slot* found = in_run(recent_, *arena_, target);
  return found ? found : in_run(sorted_, *arena_, target);
}

void op_table::merge() const {
  if (recent_.empty()) return;
  size_t kept = sorted_.size(), added = recent_.size();
  // Grown by half rather than doubled: the table is most of what a large
  // package costs, and what is reserved counts as much as what is used.
  if (kept + added > sorted_.capacity()) sorted_.reserve(std::max(kept + added, kept + kept / 2));
  sorted_.resize(kept + added);
  const path_arena& arena = *arena_;
  // From the back, so that each entry moves once; targets are never in both runs.
  for (size_t at = kept + added; added > 0;) {
    if (kept > 0 && arena.view(recent_[added - 1].target) < arena.view(sorted_[kept - 1].target))
      sorted_[--at] = sorted_[--kept];
    else
      sorted_[--at] = recent_[--added];
  }
  recent_.clear();
}

void op_table::fill(slot& entry, std::string_view target, const file_op& op) {
  size_t shared = common_prefix(target, op.source);
  entry.source_rest = arena_->store(std::string_view(op.source).substr(shared));
  entry.shared = static_cast<uint16_t>(shared);
  entry.kind = static_cast<uint16_t>(op.kind);
}

void op_table::read_source(const slot& entry, std::string& source) const {
  source.assign(arena_->view(entry.target).substr(0, entry.shared)).append(arena_->view(entry.source_rest));
}

file_op op_table::op_of(const slot& entry) const {
  file_op op{entry.kind, {}};
  read_source(entry, op.source);
  return op;
}

op_table::iterator op_table::begin() const {
  merge();
  return {this, 0};
}

op_table::iterator op_table::end() const {
  merge();
  return {this, sorted_.size()};
}

op_table::iterator op_table::find(std::string_view target) const {
  merge();
  slot* found = lookup(target);
  return found ? iterator(this, static_cast<size_t>(found - sorted_.data())) : end();
}

std::optional<file_op> op_table::put(std::string_view target, const file_op& op) {
  if (!arena_) arena_ = std::make_shared<path_arena>();
  if (slot* found = lookup(target)) {
    file_op replaced = op_of(*found);
    fill(*found, arena_->view(found->target), op);
    return replaced;
  }
  slot entry;
  entry.target = arena_->store(target);
  fill(entry, target, op);
  recent_.insert(place_in(recent_, *arena_, target), entry);
  if (recent_.size() >= recent_limit(sorted_.size())) merge();
  return std::nullopt;
}

std::optional<file_op> op_table::erase(std::string_view target) {
  if (!arena_) return std::nullopt;
  for (std::vector<slot>* run : {&recent_, &sorted_}) {
    if (slot* found = in_run(*run, *arena_, target)) {
      file_op dropped = op_of(*found);
      run->erase(run->begin() + (found - run->data()));
      return dropped;
    }
  }
  return std::nullopt;
}

void op_table::clear() {
  sorted_ = {};
  recent_ = {};
  arena_.reset();
}

std::optional<path_ref> op_table::stored_target(std::string_view target) const {
  const slot* found = lookup(target);
  return found ? std::optional<path_ref>(found->target) : std::nullopt;
}
