// The process-wide repository of installed packages.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/record.h"

// The process-wide repository.
//
// Ownership: every record ever appended is owned by the repository until the
// process ends. Dropping a record (erase) only takes it out of `packages`;
// its storage stays alive in a private list, so a caller that still holds a
// pointer to a dropped record (installation reads the name of the record the
// schedule pass may just have uninstalled) never reads freed memory.
struct pkg_repo {
  pkg_repo() = default;
  pkg_repo(const pkg_repo&) = delete;
  pkg_repo& operator=(const pkg_repo&) = delete;

  std::string arch;
  std::vector<pkg_image*> packages;  // installed packages, in load order

  // Takes ownership and appends to `packages`; returns the stored pointer.
  pkg_image* append(std::unique_ptr<pkg_image> record);
  // Removes the record at `index` from `packages`; it stays readable.
  void erase(size_t index);
  // Removes `record` from `packages` if it is there; it stays readable.
  void erase(const pkg_image* record);

 private:
  std::vector<std::unique_ptr<pkg_image>> owned_;
};

// The repository singleton: created on first use, never destroyed.
pkg_repo& repo();

// Position of the first record named `name` in `packages`, or -1.
long find_index(const pkg_repo& repository, std::string_view name);
// The first record named `name`, or nullptr.
pkg_image* find_package(const pkg_repo& repository, std::string_view name);
