#include "install/unpack.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <string_view>

#include "model/record.h"
#include "model/version.h"
#include "msg/msg.h"
#include "pkgfile/extract.h"
#include "pkgfile/pkg_stream.h"
#include "stage/manifest.h"
#include "stage/out_file.h"
#include "stage/staging.h"

namespace {

constexpr int progress_total_width = 76;

std::string target_path(const pkg_image& record, const std::string& relative) {
  std::string target = "/flash";
  if (record.disabled) target += "/x/" + record.name;
  target += "/";
  target += relative;
  return target;
}

// Writes each entry into a staged file beside (or for) its target.
class staging_receiver : public entry_receiver {
 public:
  staging_receiver(console& screen, pkg_image& record, manifest& m, pkg_stream& stream)
      : screen_(screen), record_(record), m_(m), stream_(stream) {}

  bool open(const file_entry& entry) override {
    stored_name_ = entry.stored_name;
    std::string target = target_path(record_, entry.relative);
    out_ = std::make_unique<out_file>();
    if (!open_staged_file(out_.get(), m_, target, entry.size, entry.mode & 07777)) {
      report_write_failure(screen_, record_, stored_name_.c_str());
      return false;
    }
    add_listed_file(record_.files, m_, target);
    return true;
  }

  bool write(std::string_view piece, bool last) override {
    if (last)
      out_->write_last(piece.data(), piece.size());
    else
      out_->write(piece.data(), piece.size());
    return reported_unless(!out_->failed());
  }

  bool close(uint64_t read_ahead) override {
    if (!reported_unless(out_->close())) return false;
    // The bar follows the compressed bytes used so far, not the inflater's
    // read-ahead, so that it fills as the files are written.
    show_install_progress(screen_, record_, stream_, read_ahead);
    return true;
  }

 private:
  // The staged file stays recorded in the manifest after a failure.
  bool reported_unless(bool ok) {
    if (ok) return true;
    errno = out_->error();
    report_write_failure(screen_, record_, stored_name_.c_str());
    return false;
  }

  console& screen_;
  pkg_image& record_;
  manifest& m_;
  pkg_stream& stream_;
  std::unique_ptr<out_file> out_;  // the current entry's file
  std::string stored_name_;
};

}  // namespace

bool extract_files(console& screen, pkg_image& record, manifest& m, pkg_stream& stream) {
  staging_receiver receiver(screen, record, m, stream);
  extract_result result = extract_entries(stream, receiver);
  switch (result.status) {
    case extract_status::complete:
      return true;
    case extract_status::no_memory:
      errno = ENOMEM;
      report_write_failure(screen, record, "files");
      return false;
    case extract_status::broken:
      report_broken_package(screen, record);
      refuse_package(stream, record, result.cause);
      return false;
    case extract_status::receiver_failed:
      return false;
  }
  return false;
}

void refuse_package(pkg_stream& stream, const pkg_image& record, const std::string& cause) {
  stream.refuse(record.bundle.name.empty() ? cause : "member " + package_text(record) + ": " + cause);
}

void show_install_progress(console& screen, const pkg_image& record, pkg_stream& stream, uint64_t read_ahead) {
  std::string line = "installing ";
  if (record.disabled && record.bundle.name.empty()) line += " (disabled) ";
  line += display_text(record);
  std::string bar = line + " [";
  int64_t width = std::max<int64_t>(0, progress_total_width - static_cast<int64_t>(bar.size()));
  uint64_t read = static_cast<uint64_t>(stream.part_offset()) + stream.part_length() - stream.remaining();
  uint64_t position = read - std::min(read, read_ahead);
  uint64_t total = stream.total_length();
  uint64_t filled = total == 0 ? 0 : std::min<uint64_t>(position * width / total, width);
  bar.append(filled, '#');
  bar.append(static_cast<size_t>(width) - filled, ' ');
  bar += "]";
  set_progress(screen, bar);
}
