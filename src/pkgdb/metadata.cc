#include "pkgdb/metadata.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string_view>

#include "msg/msg.h"
#include "pkgdb/db_format.h"
#include "pkgdb/repo.h"
#include "stage/manifest.h"
#include "stage/out_file.h"
#include "stage/staging.h"

namespace {

// Room asked of open_staged_file for each file, in bytes.
constexpr uint64_t version_hint = 32;
constexpr uint64_t list_hint = 1024;
constexpr uint64_t bundle_hint = 16;
constexpr uint64_t files_hint = 4096;
constexpr uint64_t state_hint = 8;

// Stages `target` with `text`. The file is flushed and closed before it is
// judged: a write that fails only at close must not leave an empty file to
// be committed. False with errno set on any failure.
bool stage_text(manifest& m, const std::string& target, uint64_t size_hint, std::string_view text) {
  out_file out;
  if (!open_staged_file(&out, m, target, size_hint, 0)) return false;
  out.write(text);
  return out.close();
}

void append_number(std::string& text, uint64_t value) {
  char digits[24];
  int size = std::snprintf(digits, sizeof digits, "%" PRIu64, value);
  text.append(digits, static_cast<size_t>(size));
}

void append_signed(std::string& text, int32_t value) {
  char digits[16];
  int size = std::snprintf(digits, sizeof digits, "%" PRId32, value);
  text.append(digits, static_cast<size_t>(size));
}

std::string version_file_text(const pkg_image& record) {
  std::string text;
  append_number(text, record.version);
  text += ' ';
  append_number(text, record.build_time);
  text += '\n';
  return text;
}

std::string dep_list_text(const std::vector<pkg_dep>& list, bool with_extra) {
  std::string text;
  for (const pkg_dep& entry : list) {
    text += entry.name;
    text += ' ';
    append_number(text, entry.min_version);
    text += ' ';
    append_number(text, entry.max_version);
    if (with_extra) {
      text += ' ';
      append_signed(text, entry.extra);
    }
    text += '\n';
  }
  return text;
}

// Stages the "files" list, one path a line, written path by path through
// the staged file's buffer: the list of a package of many files is never
// held whole in memory. Full paths are stored with their first "/" removed;
// the loader puts it back, and the removal of a package takes a stored
// "flash/..." as the full path it was.
bool stage_files_list(manifest& m, const std::string& target, const path_set& files) {
  out_file out;
  if (!open_staged_file(&out, m, target, files_hint, 0)) return false;
  for (std::string_view stored : files) {
    if (!stored.empty() && stored.front() == '/') stored.remove_prefix(1);
    if (stored.empty()) continue;
    out.write(stored);
    out.write("\n");
  }
  return out.close();
}

bool has_metadata_files(const pkg_image& record) {
  return !record.keeps_image && !(record.flags & PKG_FLAG_NO_METADATA);
}

// A failure is reported with the file's label and ends the write.
struct metadata_writer {
  console& screen;
  pkg_repo& repository;
  const pkg_image& record;
  manifest& m;
  std::string dir;

  bool fail(const char* label) {
    report_write_failure(screen, record, label);
    return false;
  }

  bool text(const char* file, const char* label, uint64_t hint, std::string_view content) {
    return stage_text(m, dir + file, hint, content) || fail(label);
  }

  bool files_list() { return stage_files_list(m, dir + "files", record.files) || fail("meta/files"); }

  bool list(const char* file, const char* label, const std::vector<pkg_dep>& entries, bool with_extra) {
    return write_dep_list(m, dir + file, entries, with_extra) || fail(label);
  }

  // A list is written when it has entries; otherwise an older version's file
  // would be read back at the next load, so it is removed.
  bool optional_list(const char* file, const char* label, const std::vector<pkg_dep>& entries,
                     bool with_extra) {
    if (!entries.empty()) return list(file, label, entries, with_extra);
    stage_removal(m, dir + file);
    return true;
  }

  void remove(const char* file) { stage_removal(m, dir + file); }

  bool metadata_files() {
    if (!text("version", "meta/version", version_hint, version_file_text(record))) return false;
    if (!list("deps", "meta/deps", record.depends, false)) return false;
    if (!optional_list("provides", "meta/provides", record.provides, true)) return false;
    if (!optional_list("conflicts", "meta/conflicts", record.conflicts, false)) return false;
    if (!record.bundle.name.empty()) {
      if (!text("bundle", "meta/bundle", bundle_hint, record.bundle.name + "\n")) return false;
    } else {
      remove("bundle");
    }
    // The absence of "files" is what marks a bundle restored from metadata.
    if (record.is_bundle) {
      remove("files");
      return true;
    }
    return files_list();
  }

  // A package that keeps its image has no metadata files, but the files it
  // extracted are still listed so that its removal takes them away.
  bool image_only() {
    for (const char* file : {"version", "deps", "provides", "conflicts", "bundle"}) remove(file);
    if (record.is_bundle || record.files.empty()) {
      remove("files");
      return true;
    }
    return files_list();
  }

  bool state_files() {
    if (record.disabled) {
      if (!stage_state_file(m, record, "disabled", record.user_set ? "user" : auto_state)) return fail("meta/disabled");
    } else {
      remove("disabled");
    }
    if (!record.disabled && record.user_set)
      return stage_state_file(m, record, "enabled", "user") || fail("meta/enabled");
    remove("enabled");
    return true;
  }
};

}  // namespace

bool write_metadata(console& screen, pkg_repo& repository, const pkg_image& record, manifest& m) {
  metadata_writer writer{screen, repository, record, m, pdb_dir(record)};
  bool written = has_metadata_files(record) ? writer.metadata_files() : writer.image_only();
  return written && writer.state_files();
}

bool stage_state_file(manifest& m, const pkg_record& record, const char* file, std::string_view word) {
  std::string path = pdb_dir(record) + file;
  out_file out;
  if (!open_staged_file(&out, m, path, state_hint, 0)) return false;
  out.write(word);
  out.write("\n");
  if (out.close()) return true;
  drop_op(m, path);
  return false;
}

bool write_dep_list(manifest& m, const std::string& path, const std::vector<pkg_dep>& list, bool with_extra) {
  return stage_text(m, path, list_hint, dep_list_text(list, with_extra));
}
