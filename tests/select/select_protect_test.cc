// Requirement protection: provider_state, keep_requirements and
// protect_provider on in-memory repositories (they only change `pending`).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "pkgdb/record.h"
#include "select/schedule.h"

namespace {

constexpr uint32_t v2 = 0x02006600;  // 2.0

class Protect : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = open_memstream(&buffer_, &size_);
    ASSERT_NE(out_, nullptr);
    repository_.out = out_;
  }
  void TearDown() override {
    std::fclose(out_);
    std::free(buffer_);
  }
  std::string output() {
    std::fflush(out_);
    return std::string(buffer_, size_);
  }

  pkg_image* install(const std::string& name, std::vector<std::string> depends = {},
                     bool disabled = false, uint32_t pending = PENDING_NONE) {
    auto image = std::make_unique<pkg_image>(name);
    image->version = v2;
    image->disabled = disabled;
    image->pending = pending;
    for (const std::string& d : depends) {
      pkg_dep entry;
      entry.name = d;
      image->depends.push_back(entry);
    }
    return repository_.append(std::move(image));
  }

  pkg_repo repository_;
  std::FILE* out_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
};

TEST_F(Protect, ProviderStateOfEveryMix) {
  struct provider {
    bool disabled;
    uint32_t pending;
  };
  const struct {
    const char* what;
    std::vector<provider> providers;
    int state;
  } cases[] = {
      {"none", {}, 1},
      {"one staying", {{false, PENDING_NONE}}, 0},
      {"one going", {{false, PENDING_UNINSTALL}}, 1},
      {"one being disabled", {{false, PENDING_DISABLE}}, 3},
      {"one disabled", {{true, PENDING_NONE}}, 3},
      {"disabled and being uninstalled", {{true, PENDING_UNINSTALL}}, 3},
      {"disabled, to be enabled", {{true, PENDING_ENABLE}}, 0},
      {"enabled, asked to be enabled again", {{false, PENDING_ENABLE}}, 0},
      {"going, then staying", {{false, PENDING_UNINSTALL}, {false, PENDING_NONE}}, 0},
      {"going, then disabled", {{false, PENDING_UNINSTALL}, {true, PENDING_NONE}}, 3},
      {"disabled, then to be enabled", {{true, PENDING_NONE}, {true, PENDING_ENABLE}}, 0},
  };
  for (const auto& c : cases) {
    std::vector<pkg_image> images(c.providers.size());
    std::vector<pkg_image*> list;
    for (size_t i = 0; i < images.size(); ++i) {
      images[i].disabled = c.providers[i].disabled;
      images[i].pending = c.providers[i].pending;
      list.push_back(&images[i]);
    }
    EXPECT_EQ(provider_state(list), c.state) << c.what;
  }
}

TEST_F(Protect, CancelledRequestWarnsWithItsOwnWordAndTheBareName) {
  pkg_image* a = install("app", {"net"});
  pkg_image* net = install("net", {}, false, PENDING_UNINSTALL);
  keep_requirements(repository_, *a, true);
  EXPECT_EQ(net->pending, PENDING_NONE);
  EXPECT_EQ(output(), "WARNING: can not uninstall net-2.0: app depends on it\n");

  net->pending = PENDING_DISABLE;
  keep_requirements(repository_, *a, false);
  EXPECT_EQ(net->pending, PENDING_NONE);
  EXPECT_EQ(output(), "WARNING: can not uninstall net-2.0: app depends on it\n");  // nothing new

  net->pending = PENDING_DISABLE;
  keep_requirements(repository_, *a, true);
  EXPECT_EQ(output(),
            "WARNING: can not uninstall net-2.0: app depends on it\n"
            "WARNING: can not disable net-2.0: app depends on it\n");
}

TEST_F(Protect, DisabledProviderIsScheduledForEnablingQuietly) {
  pkg_image* a = install("app", {"net"});
  pkg_image* net = install("net", {}, true);
  keep_requirements(repository_, *a, true);
  EXPECT_EQ(net->pending, PENDING_ENABLE);
  EXPECT_EQ(output(), "");
}

// Enable a, uninstall b, a needs b: cancelling b's request used to leave b
// disabled, so the pass then disabled a as well.
TEST_F(Protect, CancelledRequestOnDisabledProviderEnablesIt) {
  pkg_image* a = install("a", {"b"}, true, PENDING_ENABLE);
  pkg_image* b = install("b", {}, true, PENDING_UNINSTALL);
  keep_requirements(repository_, *a, true);
  EXPECT_EQ(b->pending, PENDING_ENABLE);
  EXPECT_EQ(output(), "WARNING: can not uninstall b-2.0: a depends on it\n");
}

TEST_F(Protect, ChainIsProtectedNearestFirst) {
  pkg_image* a = install("a", {"b"});
  pkg_image* b = install("b", {"c"}, false, PENDING_UNINSTALL);
  pkg_image* c = install("c", {}, false, PENDING_UNINSTALL);
  pkg_image* d = install("d", {"c"}, true);
  keep_requirements(repository_, *a, true);
  EXPECT_EQ(b->pending, PENDING_NONE);
  EXPECT_EQ(c->pending, PENDING_NONE);
  EXPECT_EQ(d->pending, PENDING_NONE);  // not needed by anything that stays
  EXPECT_EQ(output(),
            "WARNING: can not uninstall b-2.0: a depends on it\n"
            "WARNING: can not uninstall c-2.0: b depends on it\n");
}

TEST_F(Protect, BundleRecordIsKeptByItsMember) {
  pkg_image* suite = install("suite", {}, false, PENDING_UNINSTALL);
  suite->is_bundle = true;
  pkg_image* member = install("net");
  member->bundle.name = "suite";
  keep_requirements(repository_, *member, true);
  EXPECT_EQ(suite->pending, PENDING_NONE);
  EXPECT_EQ(output(), "WARNING: can not uninstall suite-2.0: net depends on it\n");
}

TEST_F(Protect, StayingProviderOrMissingFirstDependencyChangesNothing) {
  pkg_image* a = install("a", {"web"});
  pkg_image* going = install("web", {}, false, PENDING_UNINSTALL);
  pkg_image* proxy = install("proxy");
  proxy->provides.push_back(pkg_dep{"web", 0, 0, 0});
  keep_requirements(repository_, *a, true);
  EXPECT_EQ(going->pending, PENDING_UNINSTALL);

  pkg_image* b = install("b", {"nothing", "lib"});
  pkg_image* lib = install("lib", {}, false, PENDING_UNINSTALL);
  keep_requirements(repository_, *b, true);
  EXPECT_EQ(lib->pending, PENDING_UNINSTALL);
  EXPECT_EQ(output(), "");
}

// A damaged database whose "bundle" file names the package itself used to
// recurse until the stack ran out.
TEST_F(Protect, SelfNamedBundleDoesNotRecurse) {
  pkg_image* loop = install("loop", {"loop"}, true, PENDING_ENABLE);
  loop->bundle.name = "loop";
  keep_requirements(repository_, *loop, true);
  EXPECT_EQ(loop->pending, PENDING_ENABLE);
  pkg_image* ring_a = install("ring-a", {"ring-b"}, true);
  install("ring-b", {"ring-a"}, true);
  protect_provider(repository_, *ring_a, *loop, true);
  EXPECT_EQ(repository_.packages[1]->pending, PENDING_ENABLE);
  EXPECT_EQ(repository_.packages[2]->pending, PENDING_ENABLE);
  EXPECT_EQ(output(), "");
}

// A package loaded twice (both image places) is two identical records of one
// name. Choosing between them used to drop both, and then the "last" of an
// empty list was taken; now one is chosen and both share its new request.
TEST_F(Protect, IdenticalProvidersShareTheRequest) {
  pkg_image* a = install("a", {"lib"});
  pkg_image* first = install("lib", {}, true);
  pkg_image* second = install("lib", {}, true);
  keep_requirements(repository_, *a, true);
  EXPECT_EQ(first->pending, PENDING_ENABLE);
  EXPECT_EQ(second->pending, PENDING_ENABLE);
  first->pending = second->pending = PENDING_UNINSTALL;
  first->disabled = second->disabled = false;
  keep_requirements(repository_, *a, true);
  EXPECT_EQ(first->pending, PENDING_NONE);
  EXPECT_EQ(second->pending, PENDING_NONE);
}

}  // namespace
