#include "pkgdb/repo.h"

#include <algorithm>

pkg_image* pkg_repo::append(std::unique_ptr<pkg_image> record) {
  owned_.push_back(std::move(record));
  packages.push_back(owned_.back().get());
  return packages.back();
}

void pkg_repo::erase(size_t index) {
  if (index < packages.size()) packages.erase(packages.begin() + static_cast<long>(index));
}

void pkg_repo::erase(const pkg_image* record) {
  auto it = std::find(packages.begin(), packages.end(), record);
  if (it != packages.end()) packages.erase(it);
}

pkg_repo& repo() {
  // Deliberately leaked: the repository lives until the process ends and
  // records handed out must stay valid through exit handlers.
  static pkg_repo* instance = new pkg_repo;
  return *instance;
}

long find_index(const pkg_repo& repository, std::string_view name) {
  for (size_t i = 0; i < repository.packages.size(); ++i)
    if (repository.packages[i]->name == name) return static_cast<long>(i);
  return -1;
}

pkg_image* find_package(const pkg_repo& repository, std::string_view name) {
  long index = find_index(repository, name);
  return index < 0 ? nullptr : repository.packages[static_cast<size_t>(index)];
}

