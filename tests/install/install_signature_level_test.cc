// The signature level a package must carry, around every threshold of the
// version test.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "install/install.h"
#include "model/record.h"

namespace {

struct level_case {
  const char* name;
  uint32_t version;
  int expected;
};

TEST(InstallSignatureLevel, VersionThresholds) {
  const level_case cases[] = {
      {"up to 6.46.8 either", 0x062E6608, 1},
      {"just above 6.46.8", 0x062E6609, 2},
      {"6.46rc1", 0x062E6301, 1},
      {"last below 6.47", 0x062EFFFF, 2},
      {"6.47 first", 0x062F0000, 1},
      {"inside 6.47", 0x062F6605, 1},
      {"6.48 itself", 0x06306600, 1},
      {"just above 6.48", 0x06306601, 2},
      {"6.49", 0x06316600, 2},
      {"last below 7", 0x06FFFFFF, 2},
      {"7.0 first", 0x07000000, 1},
      {"7.1beta3", 0x07016203, 1},
      {"just above 7.1beta3", 0x07016204, 2},
      {"7.1", 0x07016600, 2},
      {"very old", 0x03160000, 1},
      {"zero", 0, 1},
      {"highest", 0xFFFFFFFF, 2},
  };
  for (const level_case& c : cases) {
    pkg_record record("system");
    record.version = c.version;
    EXPECT_EQ(required_signature_level(record, false), c.expected) << c.name;
    EXPECT_EQ(required_signature_level(record, true), 2) << c.name << " with /ram/SECURE";
  }
}

TEST(InstallSignatureLevel, BrandingIsExemptUnlessSecure) {
  pkg_record branding("branding");
  branding.version = 0x07106600;  // would need Ed25519 under any other name
  EXPECT_EQ(required_signature_level(branding, false), 1);
  EXPECT_EQ(required_signature_level(branding, true), 2);
  pkg_record lookalike("Branding");
  lookalike.version = branding.version;
  EXPECT_EQ(required_signature_level(lookalike, false), 2);
}

}  // namespace
