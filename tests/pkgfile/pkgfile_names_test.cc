#include "pkgfile/names.h"

#include <gtest/gtest.h>

namespace {

TEST(Names, PackageAndDependencyNames) {
  const struct {
    std::string name;
    bool package, dep;
  } cases[] = {
      {"system", true, true},     {"ppp-extra", true, true}, {"a.b", true, true},
      {"...", true, true},        {"a b", true, false},      {"", false, false},
      {".", false, true},         {"..", false, true},       {"a/b", false, true},
      {"../../etc", false, true}, {"/", false, true},        {std::string("a\0b", 3), false, false},
      {"x\n", false, false},      {"\x1f", false, false},    {"\x7f", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_safe_package_name(c.name), c.package) << testing::PrintToString(c.name);
    EXPECT_EQ(is_safe_dep_name(c.name), c.dep) << testing::PrintToString(c.name);
  }
}

}  // namespace
