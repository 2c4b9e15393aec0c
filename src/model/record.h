// Package records: the fields of a package and the small operations on one
// record that the rest of the program shares.
//
// Every package the installer knows about is held as a pkg_record: installed
// packages (pkg_image, owned by the repository), packages being read from a
// package stream (owned by their reader until appended) and package files
// found in a download directory (pkg_download, owned by the upgrade driver).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/path_store.h"

// One entry of a depends, provides or conflicts list; also a package's
// reference to the bundle it was installed from.
struct pkg_dep {
  std::string name;
  uint32_t min_version = 0;  // lowest acceptable packed version; 0 accepts any
  uint32_t max_version = 0;  // highest acceptable packed version; 0 = unbounded
  int32_t extra = 0;         // in provides: decides which of two providers blocks
};

struct pkg_record {
  explicit pkg_record(std::string record_name = {}) : name(std::move(record_name)) {}
  pkg_record(const pkg_record&) = default;
  pkg_record& operator=(const pkg_record&) = default;
  virtual ~pkg_record() = default;

  std::string name;
  uint32_t version = 0;     // packed version, 0 when unset
  uint32_t build_time = 0;  // Unix time, UTC
  uint32_t flags = 0;       // bit 1: boot package; bit 2: no metadata files
  std::string text_a;
  std::string arch;
  std::string text_b;
  std::string note;
  bool keeps_image = false;  // the package file stays whole as the "image"
  std::vector<pkg_dep> depends;
  std::vector<pkg_dep> provides;
  std::vector<pkg_dep> conflicts;
  bool is_bundle = false;
  // Members of a bundle found in a download directory, in file order. Not
  // owned: the scan that created them keeps them alive while it runs.
  std::vector<pkg_record*> members;
};

inline constexpr uint32_t PKG_FLAG_BOOT = 1;
inline constexpr uint32_t PKG_FLAG_NO_METADATA = 2;

// An installed package, or one being installed.
struct pkg_image : pkg_record {
  using pkg_record::pkg_record;

  path_set files;               // absolute paths of the installed files
  pkg_dep bundle;               // bundle it came in: name, version twice
  bool disabled = false;
  bool user_set = false;  // the enabled/disabled state is the user's choice
  uint32_t pending = 0;   // requested action, see pending_action
};

// Requested actions on installed packages; the numbers index action_word().
enum pending_action : uint32_t {
  PENDING_NONE = 0,
  PENDING_UNINSTALL = 1,
  PENDING_ENABLE = 2,
  PENDING_DISABLE = 3,
};

// "", "uninstall", "enable", "disable" for 0..3; "" for anything else.
const char* action_word(uint32_t pending);

// A package file found in a download directory.
struct pkg_download : pkg_record {
  using pkg_record::pkg_record;

  std::string path;    // directory path followed by the entry name
  uint32_t magic = 0;  // file magic: primary or secondary package file
};

// "/flash/var/pdb/" + name + "/".
std::string pdb_dir(const pkg_record& record);

// version and build_time both 0xFFFFFFFF: never provides, never conflicts,
// no schedule is read for it.
bool is_inert(const pkg_record& record);

// A plain pkg_record holding a copy of the base part of any record.
pkg_record copy_base(const pkg_record& record);
