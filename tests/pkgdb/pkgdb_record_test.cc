#include "pkgdb/record.h"

#include <gtest/gtest.h>

#include <typeinfo>

namespace {

std::unique_ptr<pkg_image> image(const char* name, uint32_t version) {
  auto record = std::make_unique<pkg_image>(name);
  record->version = version;
  return record;
}

TEST(Repository, FindReturnsTheFirstRecordOfAName) {
  pkg_repo repository;
  repository.append(image("a", 1));
  pkg_image* first_b = repository.append(image("b", 2));
  repository.append(image("b", 3));
  EXPECT_EQ(find_index(repository, "b"), 1);
  EXPECT_EQ(find_package(repository, "b"), first_b);
  EXPECT_EQ(find_index(repository, "B"), -1);
  EXPECT_EQ(find_index(repository, "bb"), -1);
  EXPECT_EQ(find_index(repository, ""), -1);
  EXPECT_EQ(find_package(repository, "c"), nullptr);
}

// Installation reads the name of a record that the schedule pass may just
// have dropped from the repository: a dropped record must stay readable.
TEST(Repository, DroppedRecordsStayReadable) {
  pkg_repo repository;
  pkg_image* a = repository.append(image("a", 1));
  pkg_image* b = repository.append(image("b", 2));
  pkg_image* c = repository.append(image("c", 3));
  repository.erase(size_t{1});
  repository.erase(a);
  repository.erase(a);         // not there any more: no effect
  repository.erase(size_t{5});  // out of range: no effect
  ASSERT_EQ(repository.packages, std::vector<pkg_image*>{c});
  EXPECT_EQ(a->name + b->name, "ab");
  EXPECT_EQ(find_index(repository, "b"), -1);
  EXPECT_EQ(find_index(repository, "c"), 0);
}

TEST(Records, DatabaseDirectory) {
  EXPECT_EQ(pdb_dir(pkg_record("system")), "/flash/var/pdb/system/");
  EXPECT_EQ(pdb_dir(pkg_record()), "/flash/var/pdb//");
}

TEST(Records, InertOnlyWhenBothWordsAreAllOnes) {
  const struct {
    uint32_t version, build_time;
    bool inert;
  } cases[] = {
      {0xFFFFFFFF, 0xFFFFFFFF, true},
      {0xFFFFFFFF, 0xFFFFFFFE, false},
      {0xFFFFFFFE, 0xFFFFFFFF, false},
      {0, 0, false},
  };
  for (const auto& c : cases) {
    pkg_record record("x");
    record.version = c.version;
    record.build_time = c.build_time;
    EXPECT_EQ(is_inert(record), c.inert) << std::hex << c.version << " " << c.build_time;
  }
}

TEST(Records, CopyOfTheBasePartIsAPlainRecordSharingMembers) {
  pkg_record member("m");
  pkg_image source("bundle");
  source.version = 0x07016600;
  source.build_time = 1700000000;
  source.flags = PKG_FLAG_BOOT;
  source.text_a = "a";
  source.arch = "mipsbe";
  source.text_b = "b";
  source.note = "note";
  source.keeps_image = true;
  source.depends = {{"system", 1, 2, -3}};
  source.provides = {{"p", 4, 5, 6}, {"q", 0, 0, 0}};
  source.conflicts = {{"c", 7, 8, 9}};
  source.is_bundle = true;
  source.members = {&member, &member};
  source.files = {"/flash/bin/x"};

  pkg_record copy = copy_base(source);
  EXPECT_EQ(typeid(copy), typeid(pkg_record));
  EXPECT_EQ(copy.name, "bundle");
  EXPECT_EQ(copy.version, 0x07016600u);
  EXPECT_EQ(copy.build_time, 1700000000u);
  EXPECT_EQ(copy.flags, PKG_FLAG_BOOT);
  EXPECT_EQ(copy.text_a + copy.arch + copy.text_b + copy.note, "amipsbebnote");
  EXPECT_TRUE(copy.keeps_image);
  EXPECT_TRUE(copy.is_bundle);
  ASSERT_EQ(copy.depends.size(), 1u);
  EXPECT_EQ(copy.depends[0].extra, -3);
  ASSERT_EQ(copy.provides.size(), 2u);
  EXPECT_EQ(copy.provides[1].name, "q");
  ASSERT_EQ(copy.conflicts.size(), 1u);
  EXPECT_EQ(copy.conflicts[0].max_version, 8u);
  EXPECT_EQ(copy.members, (std::vector<pkg_record*>{&member, &member}));

  source.depends[0].name = "changed";  // the lists are copies, not shared
  EXPECT_EQ(copy.depends[0].name, "system");
}

}  // namespace
