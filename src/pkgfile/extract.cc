#include "pkgfile/extract.h"

#include <algorithm>
#include <cerrno>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "model/version.h"
#include "msg/msg.h"
#include "pkgdb/repo.h"
#include "pkgfile/inflate_streambuf.h"
#include "pkgfile/names.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "platform/device.h"
#include "stage/out_file.h"
#include "stage/staging.h"

namespace {

constexpr int progress_total_width = 76;

// Processor version registers whose class the board decides.
constexpr uint32_t board_decides_a = 0x80211000;
constexpr uint32_t board_decides_b = 0x80212100;
constexpr uint32_t board_flag_class_2 = 0x10;

struct entry_header {
  uint16_t mode;
  uint8_t variant;
  uint32_t size;
  uint16_t name_length;
};

entry_header parse_entry_header(const char* raw) {
  return {get_u16(raw), static_cast<uint8_t>(raw[23]), get_u32(raw + 24), get_u16(raw + 28)};
}

std::string target_path(const pkg_image& record, const std::string& relative) {
  std::string target = "/flash";
  if (record.disabled) target += "/x/" + record.name;
  target += "/";
  target += relative;
  return target;
}

bool fits_this_processor(uint8_t variant) { return variant == 0 || variant == processor_class(); }

// Reports a broken package and records why on the stream (a member's cause
// names the member).
void broken(pkg_repo& repository, const pkg_image& record, pkg_stream& stream, const std::string& cause) {
  report_broken_package(repository, record);
  stream.refuse(record.bundle.name.empty() ? cause : "member " + package_text(record) + ": " + cause);
}

// Why an entry name is refused.
std::string refused_name(std::string_view stored, const std::string& relative, bool normalised) {
  std::string quoted = "entry \"" + std::string(stored) + "\" ";
  if (normalised) return quoted + "would write the installer's own " + relative;
  for (unsigned char c : stored)
    if (c < 0x20 || c == 0x7F) return quoted + "holds a control byte";
  std::string_view rest = stored;
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    if (rest.substr(0, slash) == "..") return quoted + "would leave the package's tree";
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return quoted + "names no file";
}

// Copies one entry's data into its staged file, straight from the inflated
// bytes. Reports and returns false on failure; the staged file stays
// recorded in the manifest.
bool copy_entry_data(pkg_repo& repository, const pkg_image& record, pkg_stream& stream, inflate_streambuf& inflater,
                     out_file& out, uint32_t size, const std::string& stored_name) {
  while (size > 0) {
    std::string_view piece = inflater.take(size);
    if (piece.empty()) {
      broken(repository, record, stream, "the data of entry \"" + stored_name + "\" is cut short or corrupt");
      return false;
    }
    // A file's last piece (often the whole of a small file) goes straight
    // from the inflated bytes to the file.
    if (piece.size() == size)
      out.write_last(piece.data(), piece.size());
    else
      out.write(piece.data(), piece.size());
    if (out.failed()) {
      errno = out.error();
      report_write_failure(repository, record, stored_name.c_str());
      return false;
    }
    size -= static_cast<uint32_t>(piece.size());
  }
  if (!out.close()) {
    errno = out.error();
    report_write_failure(repository, record, stored_name.c_str());
    return false;
  }
  return true;
}

enum class entry_result { next, done, failed };

entry_result extract_entry(pkg_repo& repository, pkg_image& record, manifest& m, pkg_stream& stream,
                           inflate_streambuf& inflater, std::istream& in, std::string& stored_name) {
  char raw[pkg_file_entry_header_size];
  if (!in.read(raw, sizeof raw)) return entry_result::done;
  entry_header header = parse_entry_header(raw);
  stored_name.resize(header.name_length);
  if (!in.read(stored_name.data(), header.name_length)) {
    broken(repository, record, stream, "its files end inside the name of an entry");
    return entry_result::failed;
  }
  // Only regular files are ever written; their names are judged whatever
  // the processor, so a package is broken or not on every device alike.
  if ((header.mode & file_mode_type_mask) != file_mode_regular) {
    in.seekg(header.size, std::ios_base::cur);
    return entry_result::next;
  }
  std::string relative;
  bool normalised = normalise_entry_name(stored_name, &relative);
  if (!normalised || is_installer_state(relative)) {
    broken(repository, record, stream, refused_name(stored_name, relative, normalised));
    return entry_result::failed;
  }
  if (!fits_this_processor(header.variant)) {
    in.seekg(header.size, std::ios_base::cur);
    return entry_result::next;
  }
  std::string target = target_path(record, relative);
  out_file out;
  if (!open_staged_file(&out, m, target, header.size, header.mode & 07777)) {
    report_write_failure(repository, record, stored_name.c_str());
    return entry_result::failed;
  }
  record.files.insert(target);
  if (!copy_entry_data(repository, record, stream, inflater, out, header.size, stored_name))
    return entry_result::failed;
  // The bar follows the compressed bytes used so far, not the inflater's
  // read-ahead, so that it fills as the files are written.
  show_install_progress(repository, record, stream, inflater.read_ahead());
  return entry_result::next;
}

}  // namespace

int processor_class() {
  std::optional<uint32_t> pvr = device::processor_version();
  if (!pvr) return 0;
  uint32_t family = *pvr & ~0xFFu;
  if (family == board_decides_a || family == board_decides_b) {
    std::optional<uint32_t> flags = device::board_flags();
    return flags && (*flags & board_flag_class_2) ? 2 : 4;
  }
  uint32_t b = (*pvr >> 16) & 0xFF;
  if (b >= 0x83 && b <= 0x85) return 1;
  if (b >= 0x20 && b <= 0x21) return 2;
  if ((*pvr >> 16) == 0x1302) return 3;
  return 0;
}

bool extract_files(pkg_repo& repository, pkg_image& record, manifest& m, pkg_stream& stream) {
  // No package is installed without a signature over all its bytes, and a
  // bad Adler-32 only shows after the last entry, where it ends the data as
  // the stream's end would: checking it would change nothing.
  inflate_streambuf inflater(&stream.buf(), false);
  if (!inflater.ready()) {
    errno = ENOMEM;
    report_write_failure(repository, record, "files");
    return false;
  }
  std::istream in(&inflater);
  std::string stored_name;
  while (in.good()) {
    switch (extract_entry(repository, record, m, stream, inflater, in, stored_name)) {
      case entry_result::next:
        break;
      case entry_result::done:
        return true;
      case entry_result::failed:
        return false;
    }
  }
  // A skip that ran out of data: the container ended inside a skipped entry.
  return true;
}

void show_install_progress(pkg_repo& repository, const pkg_image& record, pkg_stream& stream,
                           uint64_t read_ahead) {
  std::string line = "installing ";
  if (record.disabled && record.bundle.name.empty()) line += " (disabled) ";
  line += display_text(record);
  std::string bar = line + " [";
  int64_t width = std::max<int64_t>(0, progress_total_width - static_cast<int64_t>(bar.size()));
  pkg_streambuf& buf = stream.buf();
  uint64_t read = static_cast<uint64_t>(buf.part_offset()) + buf.part_length() - buf.remaining();
  uint64_t position = read - std::min(read, read_ahead);
  uint64_t total = stream.total_length();
  uint64_t filled = total == 0 ? 0 : std::min<uint64_t>(position * width / total, width);
  bar.append(filled, '#');
  bar.append(static_cast<size_t>(width) - filled, ' ');
  bar += "]";
  set_progress(repository, bar);
}
