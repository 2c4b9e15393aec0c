#include "select/version.h"

#include <gtest/gtest.h>

#include "pkgdb/record.h"

TEST(Version, TextsOfEveryForm) {
  const struct {
    uint32_t version;
    const char* text;
  } cases[] = {
      {0x02056603, "2.5.3"},    {0x02056600, "2.5"},      {0x02066302, "2.6rc2"},
      {0x02066100, "2.6alpha"}, {0x02050007, "2.57"},     {0, "0.0"},
      {0x0300620A, "3.0beta10"}, {0x03016601, "3.1.1"},   {0xFFFF61FF, "255.255alpha255"},
  };
  for (const auto& c : cases) EXPECT_EQ(version_text(c.version), c.text) << std::hex << c.version;
}
