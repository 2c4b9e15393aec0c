// The signature level a package must carry, around every threshold of the
// version test.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "install/install.h"
#include "model/record.h"

namespace {

int level(const char* name, uint32_t version, bool secure) {
  pkg_record record(name);
  record.version = version;
  return required_signature_level(record, secure);
}

TEST(InstallSignatureLevel, VersionThresholds) {
  const struct {
    const char* name;
    uint32_t version;
    int expected;
  } cases[] = {
      {"up to 6.46.8 either", 0x062E6608, 1}, {"just above 6.46.8", 0x062E6609, 2}, {"6.46rc1", 0x062E6301, 1},
      {"last below 6.47", 0x062EFFFF, 2},     {"6.47 first", 0x062F0000, 1},        {"inside 6.47", 0x062F6605, 1},
      {"6.48 itself", 0x06306600, 1},         {"just above 6.48", 0x06306601, 2},   {"6.49", 0x06316600, 2},
      {"last below 7", 0x06FFFFFF, 2},        {"7.0 first", 0x07000000, 1},         {"7.1beta3", 0x07016203, 1},
      {"just above 7.1beta3", 0x07016204, 2}, {"7.1", 0x07016600, 2},               {"very old", 0x03160000, 1},
      {"zero", 0, 1},                         {"highest", 0xFFFFFFFF, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(level("system", c.version, false), c.expected) << c.name;
    EXPECT_EQ(level("system", c.version, true), 2) << c.name << " with /ram/SECURE";
  }
}

// "branding" needs only the older signature unless /ram/SECURE is there; a
// name that merely looks like it does not. 7.16 would need Ed25519 otherwise.
TEST(InstallSignatureLevel, BrandingIsExemptUnlessSecure) {
  EXPECT_EQ(level("branding", 0x07106600, false), 1);
  EXPECT_EQ(level("branding", 0x07106600, true), 2);
  EXPECT_EQ(level("Branding", 0x07106600, false), 2);
}

}  // namespace
