#include "pkgfile/extract.h"

#include <string>
#include <string_view>

#include "pkgfile/inflater.h"
#include "pkgfile/names.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "platform/device.h"

namespace {

struct entry_header {
  uint16_t mode;
  uint8_t variant;
  uint32_t size;
  uint16_t name_length;
};

entry_header parse_entry_header(const char* raw) {
  return {get_u16(raw), static_cast<uint8_t>(raw[23]), get_u32(raw + 24), get_u16(raw + 28)};
}

// Whether a file variant suits this processor. The processor's class is
// asked once an extraction, at the first variant met, not for every entry.
class variant_filter {
 public:
  bool fits(uint8_t variant) {
    if (variant == 0) return true;
    if (processor_ < 0) processor_ = device::processor_class();
    return variant == processor_;
  }

 private:
  int processor_ = -1;
};

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

// Hands one entry's data to the receiver, straight from the inflated bytes.
extract_result copy_entry_data(inflater& container, entry_receiver& receiver, uint32_t size,
                               const std::string& stored_name) {
  while (size > 0) {
    std::string_view piece = container.take(size);
    if (piece.empty())
      return {extract_status::broken, "the data of entry \"" + stored_name + "\" is cut short or corrupt"};
    // A file's last piece is often the whole of a small file.
    if (!receiver.write(piece, piece.size() == size)) return {extract_status::receiver_failed, {}};
    size -= static_cast<uint32_t>(piece.size());
  }
  if (!receiver.close(container.read_ahead())) return {extract_status::receiver_failed, {}};
  return {};
}

// Passes over the data of an entry that is not written. A container that
// ends inside it ends extraction.
extract_result skip_entry_data(inflater& container, uint32_t size, bool* more) {
  if (container.skip(size) < size) *more = false;
  return {};
}

// The next entry. Extraction goes on after a `complete` result with *more set.
extract_result extract_entry(inflater& container, entry_receiver& receiver, variant_filter& variants,
                             std::string& stored_name, bool* more) {
  *more = false;
  char raw[pkg_file_entry_header_size];
  if (container.read(raw, sizeof raw) < sizeof raw) return {};
  entry_header header = parse_entry_header(raw);
  stored_name.resize(header.name_length);
  if (container.read(stored_name.data(), header.name_length) < header.name_length)
    return {extract_status::broken, "its files end inside the name of an entry"};
  *more = true;
  // Only regular files are ever written; their names are judged whatever
  // the processor, so a package is broken or not on every device alike.
  if ((header.mode & file_mode_type_mask) != file_mode_regular) return skip_entry_data(container, header.size, more);
  std::string relative;
  bool normalised = normalise_entry_name(stored_name, &relative);
  if (!normalised || is_installer_state(relative))
    return {extract_status::broken, refused_name(stored_name, relative, normalised)};
  if (!variants.fits(header.variant)) return skip_entry_data(container, header.size, more);
  if (!receiver.open(file_entry{stored_name, relative, header.size, header.mode}))
    return {extract_status::receiver_failed, {}};
  return copy_entry_data(container, receiver, header.size, stored_name);
}

}  // namespace

extract_result extract_entries(pkg_stream& stream, entry_receiver& receiver) {
  // No package is installed without a signature over all its bytes, and a
  // bad Adler-32 only shows after the last entry, where it ends the data as
  // the stream's end would: checking it would change nothing.
  inflater container(stream, false);
  if (!container.ready()) return {extract_status::no_memory, {}};
  std::string stored_name;
  variant_filter variants;
  for (;;) {
    bool more = false;
    extract_result result = extract_entry(container, receiver, variants, stored_name, &more);
    if (result.status != extract_status::complete || !more) return result;
  }
}
