// The manifest's table of file operations: at most one operation per target,
// read in ascending unsigned byte order of the target. A package of
// thousands of files puts thousands of entries here, so an entry is 20 bytes
// of references into a path arena: the target, and of the source only what
// follows the bytes it shares with the target (a staged file usually lies in
// its target's directory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/path_store.h"

enum op_kind : uint32_t {
  OP_MOVE = 0,    // rename an existing file onto the target
  OP_STAGED = 1,  // rename a staged temporary file the manifest owns
  OP_LINK = 3,    // make the target a symbolic link to source
  OP_REMOVE = 4,  // delete the target (a directory: its plain entries too)
};

struct file_op {
  uint32_t kind = OP_MOVE;
  std::string source;  // empty for a removal
};

class op_table {
 public:
  using value_type = std::pair<std::string, file_op>;

  // Reads the entries in order. An entry is read into the iterator itself,
  // as a target and an operation of its own: what it hands out stays valid
  // until it moves on, and does not change when the table does.
  class iterator {
   public:
    using difference_type = std::ptrdiff_t;
    using value_type = op_table::value_type;
    iterator() = default;
    const value_type& operator*() const { return entry_; }
    const value_type* operator->() const { return &entry_; }
    iterator& operator++() {
      ++at_;
      read();
      return *this;
    }
    bool operator==(const iterator& other) const { return at_ == other.at_; }

   private:
    friend class op_table;
    iterator(const op_table* table, size_t at) : table_(table), at_(at) { read(); }
    void read();
    const op_table* table_ = nullptr;
    size_t at_ = 0;
    value_type entry_;
  };

  bool empty() const { return sorted_.empty() && recent_.empty(); }
  size_t size() const { return sorted_.size() + recent_.size(); }
  iterator begin() const;
  iterator end() const;
  iterator find(std::string_view target) const;
  size_t count(std::string_view target) const { return stored_target(target) ? 1 : 0; }

  // Puts `op` under `target`; the operation it replaced, if any.
  std::optional<file_op> put(std::string_view target, const file_op& op);
  // Drops the entry for `target`; its operation, if it had one.
  std::optional<file_op> erase(std::string_view target);
  void erase(const iterator& at) { erase(std::string_view(at->first)); }
  void clear();

  // The arena that holds the targets, and where the target of the entry for
  // `target` lies in it: for a record that keeps the same path (path_set).
  const std::shared_ptr<path_arena>& arena() const { return arena_; }
  std::optional<path_ref> stored_target(std::string_view target) const;

 private:
  struct slot {
    path_ref target;
    path_ref source_rest;  // the source after its first `shared` bytes
    uint16_t shared = 0;   // leading bytes of the source that are the target's
    uint16_t kind = 0;
  };
  // Entries arrive in any order. They go into a short sorted run of recent
  // entries, which is merged into the long sorted run whenever it fills (and
  // before the table is read in order), so neither an addition nor a look-up
  // walks the whole table.
  // Where `target` is or would go in a sorted run, and its entry there.
  static std::vector<slot>::iterator place_in(std::vector<slot>& run, const path_arena& arena,
                                              std::string_view target);
  static slot* in_run(std::vector<slot>& run, const path_arena& arena, std::string_view target);
  slot* lookup(std::string_view target) const;
  void merge() const;
  void fill(slot& entry, std::string_view target, const file_op& op);
  // The entry's source, put back together into `source` (its bytes reused).
  void read_source(const slot& entry, std::string& source) const;
  file_op op_of(const slot& entry) const;

  std::shared_ptr<path_arena> arena_;
  mutable std::vector<slot> sorted_;
  mutable std::vector<slot> recent_;
};
