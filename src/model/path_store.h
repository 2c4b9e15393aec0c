// Compact storage of many paths. A package of thousands of files gives the
// run thousands of paths to keep (its "files" set, the manifest's targets and
// staged sources); each is held as an 8-byte reference into an arena of path
// bytes, which records that keep the same path can share, instead of as a
// string with a heap block of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

// Where a path's bytes lie in its arena.
struct path_ref {
  uint32_t offset = 0;
  uint32_t length = 0;
};

// An append-only store of path bytes. Stored bytes never move, so a view of
// them stays valid while the arena lives, whatever is stored after it.
class path_arena {
 public:
  path_arena() = default;
  path_arena(const path_arena&) = delete;
  path_arena& operator=(const path_arena&) = delete;

  path_ref store(std::string_view bytes);
  std::string_view view(path_ref ref) const {
    if (ref.length == 0) return {};
    return {slots_[ref.offset >> slot_bits] + (ref.offset & (slot_size - 1)), ref.length};
  }

 private:
  // Offsets address the blocks in slots of 64 KiB: a block starts at a slot
  // of its own and takes as many as it spans, so an offset finds its bytes
  // without a search. Blocks start small (a package of a few files costs
  // little) and double up to one slot; a longer path gets a block its size.
  static constexpr unsigned slot_bits = 16;
  static constexpr size_t slot_size = size_t{1} << slot_bits;
  static constexpr size_t first_block = 256;

  void add_block(size_t at_least);

  std::vector<std::unique_ptr<char[]>> blocks_;
  std::vector<char*> slots_;  // slot -> its first byte
  size_t block_slot_ = 0;     // first slot of the last block
  size_t used_ = 0;           // bytes used of the last block
  size_t capacity_ = 0;       // size of the last block
};

// A set of paths, read in ascending unsigned byte order without duplicates.
// Paths added in order cost a reference each; added out of order (or twice),
// the set is sorted once when it is next read. Its bytes may live in an arena
// that another record shares (see the second insert).
class path_set {
 public:
  class iterator {
   public:
    using difference_type = std::ptrdiff_t;
    using value_type = std::string_view;
    iterator() = default;
    std::string_view operator*() const { return arena_->view(*at_); }
    iterator& operator++() {
      ++at_;
      return *this;
    }
    iterator operator++(int) {
      iterator was = *this;
      ++at_;
      return was;
    }
    bool operator==(const iterator& other) const { return at_ == other.at_; }

   private:
    friend class path_set;
    iterator(const path_arena* arena, const path_ref* at) : arena_(arena), at_(at) {}
    const path_arena* arena_ = nullptr;
    const path_ref* at_ = nullptr;
  };

  path_set() = default;
  path_set(std::initializer_list<std::string_view> paths);

  void insert(std::string_view path);
  // Adds a path already stored in `arena`: without a copy of its bytes when
  // this set has no arena yet (it takes this one) or has the same one.
  void insert(const std::shared_ptr<path_arena>& arena, path_ref ref);
  bool contains(std::string_view path) const;
  size_t size() const;
  bool empty() const { return refs_.empty(); }
  // Forgets every path, and the set's hold on its arena.
  void clear();

  iterator begin() const;
  iterator end() const;

 private:
  void add(path_ref ref);
  // Sorts and drops duplicates, once, after additions out of order.
  void settle() const;

  std::shared_ptr<path_arena> arena_;
  mutable std::vector<path_ref> refs_;
  mutable bool settled_ = true;
};
