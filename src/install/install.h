// Installing a package or a bundle read from a package stream.
#pragma once

#include <map>
#include <string>

#include "pkgfile/verify.h"
#include "platform/byte_stream.h"
#include "select/install_flags.h"

struct console;
struct pkg_repo;
struct pkg_record;
struct pkg_image;
struct manifest;

using user_state_map = std::map<std::string, bool>;  // name -> disabled

// What a stream install hands back besides its status.
struct stream_result {
  // The database directory of the package or bundle that keeps its package
  // file as its image; empty when it keeps none.
  std::string image_dir;
  bool boot = false;  // the installed package supplies the boot image
  // The package or bundle installed (or kept), owned by the repository.
  const pkg_image* installed = nullptr;
  // When the installation failed: the package or bundle it was about (""
  // when no header was read) and why it was refused ("" when the reason was
  // printed already, by the candidate check or as a write failure).
  std::string subject;
  std::string refusal;
};

// The outcome of a stream install; the stream install mode exits with it.
enum install_result : int {
  INSTALL_OK = 0,
  INSTALL_FAILED = 1,      // an unreadable, refused or unrecorded package or bundle
  // A bundle or member refused (a bundle also when its name is that of an
  // installed package that is not a bundle), or data after the last member.
  INSTALL_REFUSED = 2,
  INSTALL_NO_MEMBERS = 3,  // a bundle without members
};

// What one stream install is asked to do. The run's settings in it come
// from the driver, which reads them once after the change of root.
struct install_request {
  install_flags flags = 0;
  user_state_map user_state;        // the states the user chose, by name
  byte_sink* copy = nullptr;        // receives every consumed byte (may be nullptr)
  bool secure = false;              // "/ram/SECURE": level 2 of every package
  bool boot_image_apart = false;    // "bootimage" is set: boot packages are not extracted
};

// Installs the package or bundle the stream holds; `result` receives what
// was installed, or why it was refused.
install_result install_stream(console& screen, pkg_repo& repository, manifest& m, byte_source& input,
                              const install_request& request, stream_result& result);

// The signature level a package must carry: SIGNATURE_ED25519 everywhere
// when `secure` ("/ram/SECURE" exists); else SIGNATURE_LEGACY for
// "branding"; else SIGNATURE_ED25519 for every version outside the releases
// that may still carry the older signature (up to 6.46.8, all of 6.47, 6.48
// itself, 7.0 to 7.1beta3).
signature_level required_signature_level(const pkg_record& record, bool secure);
