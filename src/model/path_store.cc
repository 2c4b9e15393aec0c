#include "model/path_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

void path_arena::add_block(size_t at_least) {
  size_t size = capacity_ == 0 ? first_block : std::min(capacity_ * 2, slot_size);
  size = std::max(size, at_least);
  size_t spans = (size + slot_size - 1) / slot_size;
  // Offsets are 32 bits: 4 GiB of paths, far beyond any device's memory. An
  // offset that wrapped would point at another path, so the run stops.
  if (slots_.size() + spans > (size_t{1} << (32 - slot_bits))) std::abort();
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
  block_slot_ = slots_.size();
  for (size_t i = 0; i < spans; ++i) slots_.push_back(blocks_.back().get() + i * slot_size);
  used_ = 0;
  capacity_ = size;
}

path_ref path_arena::store(std::string_view bytes) {
  if (bytes.empty()) return {};
  if (bytes.size() > capacity_ - used_) add_block(bytes.size());
  std::memcpy(slots_[block_slot_] + used_, bytes.data(), bytes.size());
  path_ref ref{static_cast<uint32_t>((block_slot_ << slot_bits) + used_), static_cast<uint32_t>(bytes.size())};
  used_ += bytes.size();
  return ref;
}

path_set::path_set(std::initializer_list<std::string_view> paths) {
  for (std::string_view path : paths) insert(path);
}

void path_set::add(path_ref ref) {
  if (settled_ && !refs_.empty() && !(arena_->view(refs_.back()) < arena_->view(ref))) settled_ = false;
  // Grown by half rather than doubled: for a package of many files, what is
  // reserved counts as much as what is used.
  if (refs_.size() == refs_.capacity()) refs_.reserve(refs_.size() + refs_.size() / 2 + 8);
  refs_.push_back(ref);
}

void path_set::insert(std::string_view path) {
  if (!arena_) arena_ = std::make_shared<path_arena>();
  add(arena_->store(path));
}

void path_set::insert(const std::shared_ptr<path_arena>& arena, path_ref ref) {
  if (!arena_) arena_ = arena;
  if (arena_ == arena)
    add(ref);
  else
    insert(arena->view(ref));
}

void path_set::settle() const {
  if (settled_) return;
  const path_arena& arena = *arena_;
  auto less = [&](path_ref a, path_ref b) { return arena.view(a) < arena.view(b); };
  auto same = [&](path_ref a, path_ref b) { return arena.view(a) == arena.view(b); };
  std::sort(refs_.begin(), refs_.end(), less);
  refs_.erase(std::unique(refs_.begin(), refs_.end(), same), refs_.end());
  settled_ = true;
}

bool path_set::contains(std::string_view path) const {
  settle();
  auto at = std::lower_bound(refs_.begin(), refs_.end(), path,
                             [&](path_ref ref, std::string_view key) { return arena_->view(ref) < key; });
  return at != refs_.end() && arena_->view(*at) == path;
}

size_t path_set::size() const {
  settle();
  return refs_.size();
}

void path_set::clear() {
  refs_ = {};
  arena_.reset();
  settled_ = true;
}

path_set::iterator path_set::begin() const {
  settle();
  return {arena_.get(), refs_.data()};
}

path_set::iterator path_set::end() const {
  settle();
  return {arena_.get(), refs_.data() + refs_.size()};
}
