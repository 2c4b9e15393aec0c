#include "pkgsign.h"

pkgbuild::signer key_file_signer(const key_file& keys, sign_scheme scheme) {
  return [keys, scheme](const uint8_t digest[32], std::string* trailer, std::string* err) {
    uint8_t bytes[132];
    size_t size = 0;
    if (!sign_digest(keys, scheme, digest, bytes, &size, err)) return false;
    trailer->assign(reinterpret_cast<const char*>(bytes), size);
    return true;
  };
}
