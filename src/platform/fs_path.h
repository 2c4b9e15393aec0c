// The path the system is given for a path handed to the seam, shared by both
// builds of it.
#pragma once

#include <string>

#include "platform/fs.h"

namespace fs::detail {

// The device root set with set_device_root (empty by default).
std::string& root_setting();

// `path` itself when no device root is set or the path is relative (the
// common case costs no allocation); otherwise the root followed by the path.
class device_path {
 public:
  explicit device_path(const char* path) : path_(path) {
    const std::string& root = root_setting();
    if (root.empty() || path[0] != '/') return;
    full_.reserve(root.size() + std::char_traits<char>::length(path));
    full_.append(root).append(path);
    path_ = full_.c_str();
  }
  device_path(const device_path&) = delete;
  device_path& operator=(const device_path&) = delete;
  operator const char*() const { return path_; }

 private:
  const char* path_;
  std::string full_;
};

}  // namespace fs::detail
