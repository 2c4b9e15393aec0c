#include "pkgdb/load.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <map>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "pkgbuild.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "pkgdb/record.h"
#include "support/device_root.h"

using namespace pkgdb_test;
using pkgbuild::dep_list_payload;
using pkgbuild::header_payload;
using pkgbuild::part;
using testsupport::device_root;

namespace {

constexpr uint32_t v1_0 = 0x01006600;  // "1.0": 16803328
constexpr uint32_t v1_2 = 0x01026600;
constexpr uint32_t v2_0 = 0x02006600;
constexpr uint32_t v3_1 = 0x03016600;

std::string signature() { return part(9, std::string(68, 's')); }

// Loads the repository of `root` in a child that changed root into it and
// returns the records, then "out:" and what was printed.
std::string load_in(const device_root& root, bool quiet = false) {
  return run_in_root(root, [quiet] {
    alarm(20);  // a loader that blocks fails the test instead of hanging it
    pkg_repo repository;
    char* data = nullptr;
    size_t size = 0;
    repository.out = open_memstream(&data, &size);
    load_repository(repository, quiet, "i386");
    std::fclose(repository.out);
    std::string printed(data, size);
    std::free(data);
    std::string logged;
    for (const std::string& line : repository.messages) logged += line + "|";
    return describe(repository) + "out:" + printed + "log:" + logged;
  });
}

// What --show prints of the repository of `root` loaded with `scope`.
std::string shown_in(const device_root& root, load_scope scope) {
  return run_in_root(root, [scope] {
    alarm(20);
    pkg_repo repository;
    repository.quiet = true;
    load_repository(repository, true, "i386", scope);
    return listing_of(repository);
  });
}

struct load_case {
  const char* what;
  std::function<void(const device_root&)> setup;
  std::string expected;
};

void run_cases(const std::vector<load_case>& cases) {
  if (!can_change_root()) GTEST_SKIP() << "changing root needs root rights";
  for (const load_case& c : cases) {
    device_root root;
    c.setup(root);
    EXPECT_EQ(load_in(root), c.expected + "out:log:") << c.what;
    // The listing's lighter load must show every database exactly as the
    // whole load does.
    EXPECT_EQ(shown_in(root, load_scope::listing), shown_in(root, load_scope::everything)) << c.what;
  }
}

// A file of exactly `size` bytes ending in a line feed.
std::string line_of(size_t size, char fill) { return std::string(size, fill) + "\n"; }

TEST(ReadListFile, EntriesAndMalformedInput) {
  char dir_template[] = "/tmp/pkgdb_list.XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string path = std::string(dir_template) + "/list";
  const struct {
    const char* content;
    bool with_extra;
    bool ok;
    const char* entries;  // as describe() prints a list
  } cases[] = {
      {"", false, true, "[]"},
      {"a 1 2\nb 3 4\n", false, true, "[a 1 2,b 3 4]"},
      {"  a\t1\n2   b 0\n0", false, true, "[a 1 2,b 0 0]"},
      {"a 4294967295 0\n", false, true, "[a 4294967295 0]"},
      {"a 0007 0\n", false, true, "[a 7 0]"},
      {"a 1", false, false, "[]"},
      {"a 1 2\nb 3", false, false, "[a 1 2]"},
      {"a -1 2\n", false, false, "[]"},  // a stream extraction reads 4294967295
      {"a +1 2\n", false, false, "[]"},
      {"a 1x 2\n", false, false, "[]"},
      {"a 4294967296 0\n", false, false, "[]"},
      {"a 99999999999999999999 0\n", false, false, "[]"},
      {"a 1 2 3\n", false, false, "[a 1 2]"},  // the fourth field is read as a name
      {"p 1 2 -1\n", true, true, "[p 1 2 -1]"},
      {"p 1 2 2147483647\nq 0 0 -2147483648\n", true, true, "[p 1 2 2147483647,q 0 0 -2147483648]"},
      {"p 1 2\n", true, false, "[]"},
      {"p 1 2 2147483648\n", true, false, "[]"},
      {"p 1 2 -2147483649\n", true, false, "[]"},
      {"p 1 2 x\n", true, false, "[]"},
      {"p 1 2 -\n", true, false, "[]"},
  };
  for (const auto& c : cases) {
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(c.content, file);
    std::fclose(file);
    std::vector<pkg_dep> list;
    EXPECT_EQ(read_list_file(path, list, c.with_extra), c.ok) << c.content;
    EXPECT_EQ(describe(list, c.with_extra), c.entries) << c.content;
  }
  std::vector<pkg_dep> list;
  EXPECT_TRUE(read_list_file(std::string(dir_template) + "/missing", list, false));
  EXPECT_TRUE(list.empty());
  FILE* file = std::fopen(path.c_str(), "w");
  std::fputs((std::string(list_word_limit + 1, 'n') + " 1 2\n").c_str(), file);
  std::fclose(file);
  EXPECT_FALSE(read_list_file(path, list, false)) << "an over-long name is a damaged file";
  unlink(path.c_str());
  rmdir(dir_template);
}

TEST(ScheduleName, KeepsLettersDigitsAndDashOnly) {
  const struct {
    const char* name;
    const char* cleaned;
  } cases[] = {
      {"a.b", "ab"}, {"Routing-6_x", "Routing-6x"}, {"../..", ""}, {"w\xc3\xa9", "w"}, {"a b\n", "ab"},
  };
  for (const auto& c : cases) EXPECT_EQ(schedule_name(c.name), c.cleaned) << c.name;
}

TEST(LoadRepository, ImagesOfEveryShape) {
  const std::string sys_bundle = part(18, header_payload("sys", v3_1, 50, 0)) +
                                 part(20, dep_list_payload({{"m1", 0, 0, 0}, {"m2", 0, 0, 0}}));
  const std::string member_m1 = part(1, header_payload("m1", v1_0, 51, 0)) +
                                part(3, dep_list_payload({{"base", 5, 0, 0}})) + part(4, "zz") + signature();
  const std::string member_m2 = part(1, header_payload("m2", v2_0, 52, 0, false)) + signature();
  run_cases({
      {"a single package with its lists, and the files it extracted",
       [](const device_root& root) {
         root.write_file("/flash/var/pdb/tool/image",
                         pkgbuild::whole_file(part(1, header_payload("tool", v1_2, 1000, 0)) + part(24, "ta") +
                                      part(23, "a note") + part(3, dep_list_payload({{"base", 5, 0, 0}})) +
                                      part(19, dep_list_payload({{"svc", 1, 2, -1}})) +
                                      part(17, dep_list_payload({{"old", 0, 0, 0}})) + part(4, "zz") +
                                      signature()));
         root.write_file("/flash/var/pdb/tool/files", "flash/bin/tool\n");
       },
       "tool v=01026600 t=1000 in=/0/0 bundle=0 dis=0 user=0 pend=0 deps=[base 5 0] prov=[svc 1 2 -1] "
       "conf=[old 0 0] files=[/flash/bin/tool] note=a note\n"},
      {"a note placed before the header is passed over",
       [](const device_root& root) {
         root.write_file("/flash/var/pdb/early/image",
                         pkgbuild::whole_file(part(23, "unsigned") + part(1, header_payload("early", v1_0, 7, 0)) +
                                      signature()));
       },
       "early v=01006600 t=7 in=/0/0 bundle=0 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"bundle members first, the bundle last, a note after a member's signature passed over",
       [&](const device_root& root) {
         root.write_file("/flash/var/pdb/sys/image", pkgbuild::whole_file(sys_bundle + member_m1 + part(23, "stray") +
                                                                  member_m2 + part(16, "mipsbe")));
         root.write_file("/flash/var/pdb/sys/files", "flash/etc/sys.conf\n");
         root.write_file("/flash/var/pdb/m1/files", "flash/lib/m1.so\n");
         root.write_file("/flash/var/pdb/m1/disabled", "auto\n");
       },
       "m1 v=01006600 t=51 in=sys/50423296/50423296 bundle=0 dis=1 user=0 pend=0 deps=[base 5 0] prov=[] "
       "conf=[] files=[/flash/lib/m1.so] note=\n"
       "m2 v=02006600 t=52 in=sys/50423296/50423296 bundle=0 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] "
       "files=[] note=\n"
       "sys v=03016600 t=50 in=/0/0 bundle=1 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] "
       "files=[/flash/etc/sys.conf] note=\n"},
      {"a member whose header part is cut ends the member loop",
       [&](const device_root& root) {
         root.write_file("/flash/var/pdb/sys/image",
                         pkgbuild::whole_file(sys_bundle + member_m1 + part(1, header_payload("m9", v1_0, 1, 0).substr(0, 20)) +
                                      member_m2));
       },
       "m1 v=01006600 t=51 in=sys/50423296/50423296 bundle=0 dis=0 user=0 pend=0 deps=[base 5 0] prov=[] "
       "conf=[] files=[] note=\n"
       "sys v=03016600 t=50 in=/0/0 bundle=1 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a member whose name is refused is dropped and ends the member loop",
       [&](const device_root& root) {
         root.write_file("/flash/var/pdb/sys/image",
                         pkgbuild::whole_file(sys_bundle + member_m1 + part(1, header_payload("../etc", v1_0, 1, 0)) +
                                              signature() + member_m2));
       },
       "m1 v=01006600 t=51 in=sys/50423296/50423296 bundle=0 dis=0 user=0 pend=0 deps=[base 5 0] prov=[] "
       "conf=[] files=[] note=\n"
       "sys v=03016600 t=50 in=/0/0 bundle=1 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a member whose file breaks off inside its header part",
       [&](const device_root& root) {
         std::string file = pkgbuild::whole_file(sys_bundle + member_m1 + member_m2);
         root.write_file("/flash/var/pdb/sys/image", file.substr(0, file.size() - member_m2.size() + 6 + 30));
       },
       "m1 v=01006600 t=51 in=sys/50423296/50423296 bundle=0 dis=0 user=0 pend=0 deps=[base 5 0] prov=[] "
       "conf=[] files=[] note=\n"
       "sys v=03016600 t=50 in=/0/0 bundle=1 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"an unreadable header falls back to the metadata files under the directory name",
       [](const device_root& root) {
         root.write_file("/flash/var/pdb/cut/image",
                         pkgbuild::whole_file(part(1, header_payload("other", v2_0, 1, 0))).substr(0, 20));
         root.write_file("/flash/var/pdb/cut/version", "16803328 9\n");
         root.write_file("/flash/var/pdb/cut/files", "");
       },
       "cut v=01006600 t=9 in=/0/0 bundle=0 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a file that is no package at all",
       [](const device_root& root) { root.write_file("/flash/var/pdb/junk/image", "not a package"); },
       "junk v=00000000 t=0 in=/0/0 bundle=1 dis=0 user=0 pend=1 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"an image that is a FIFO is not opened",
       [](const device_root& root) {
         root.make_dirs("/flash/var/pdb/fifo");
         ASSERT_EQ(mkfifo(root.at("/flash/var/pdb/fifo/image").c_str(), 0600), 0);
         root.write_file("/flash/var/pdb/fifo/version", "16803328 3\n");
       },
       "fifo v=01006600 t=3 in=/0/0 bundle=1 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a stored image outside the database",
       [](const device_root& root) {
         root.make_dirs("/flash/var/pdb/kept");
         root.write_file("/rw/pckg/.images/kept",
                         pkgbuild::whole_file(part(1, header_payload("kept", v1_2, 5, 0)) + signature()));
         root.write_file("/flash/var/pdb/kept/files", "flash/bin/kept\nbin/old-form\n");
       },
       "kept v=01026600 t=5 in=/0/0 bundle=0 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] "
       "files=[/bin/old-form,/flash/bin/kept] note=\n"},
  });
}

TEST(LoadRepository, StateRestoredFromMetadataFiles) {
  auto package = [](const char* name, std::vector<std::pair<const char*, std::string>> files) {
    return [=](const device_root& root) {
      root.make_dirs(std::string("/flash/var/pdb/") + name);
      for (const auto& [file, content] : files) root.write_file(std::string("/flash/var/pdb/") + name + "/" + file, content);
    };
  };
  const std::string plain = " in=/0/0 bundle=0 dis=0 user=0 ";
  run_cases({
      {"every metadata file", package("full", {{"version", "16909824 77\n"}, {"deps", "a 1 2\nb 0 0\n"},
                                               {"provides", "p 3 4 -1\n"}, {"conflicts", "c 0 5\n"},
                                               {"bundle", "sys\n"}, {"files", "flash/bin/x\n\nbin/y\n"}}),
       "full v=01020600 t=77 in=sys/0/0 bundle=0 dis=0 user=0 pend=1 deps=[a 1 2,b 0 0] prov=[p 3 4 -1] "
       "conf=[c 0 5] files=[/bin/y,/flash/bin/x] note=\n"},
      {"an empty directory", package("empty", {}),
       "empty v=00000000 t=0 in=/0/0 bundle=1 dis=0 user=0 pend=1 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a signed version number", package("neg", {{"version", "-1 5\n"}, {"files", ""}}),
       "neg v=00000000 t=0" + plain + "pend=1 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a version without build time", package("half", {{"version", "16803328"}, {"files", ""}}),
       "half v=01006600 t=0" + plain + "pend=1 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"trailing bytes on a number", package("tail", {{"version", "16803328 5x\n"}, {"files", ""}}),
       "tail v=01006600 t=0" + plain + "pend=1 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a provides line with three fields",
       package("three", {{"version", "16803328 5\n"}, {"provides", "p 1 2\n"}, {"files", ""}}),
       "three v=01006600 t=5" + plain + "pend=1 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a malformed deps keeps what came before",
       package("deps", {{"version", "16803328 5\n"}, {"deps", "a 1 2\nb -1 0\n"}, {"files", ""}}),
       "deps v=01006600 t=5" + plain + "pend=1 deps=[a 1 2] prov=[] conf=[] files=[] note=\n"},
      {"over-long lines of files are ignored",
       package("long", {{"version", "16803328 5\n"},
                        {"files", "a\n" + line_of(files_line_limit + 1, 'q') + line_of(files_line_limit - 1, 'k') + "b"}}),
       "long v=01006600 t=5" + plain + "pend=0 deps=[] prov=[] conf=[] files=[/a,/b,/" +
           std::string(files_line_limit - 1, 'k') + "] note=\n"},
      {"disabled automatically", package("da", {{"version", "1 2\n"}, {"files", ""}, {"disabled", "auto\n"}}),
       "da v=00000001 t=2 in=/0/0 bundle=0 dis=1 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"disabled by the user", package("du", {{"version", "1 2\n"}, {"files", ""}, {"disabled", "user\n"}}),
       "du v=00000001 t=2 in=/0/0 bundle=0 dis=1 user=1 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"kept enabled by the user", package("eu", {{"version", "1 2\n"}, {"files", ""}, {"enabled", "user\n"}}),
       "eu v=00000001 t=2 in=/0/0 bundle=0 dis=0 user=1 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
  });
}

// Only regular files are database files. A FIFO used to block the load for
// good; a socket or device counted as a "disabled" file for the listing but
// not for the other runs.
TEST(LoadRepository, SpecialFilesReadAsMissing) {
  auto special = [](const char* name, std::vector<std::pair<const char*, mode_t>> nodes) {
    return [=](const device_root& root) {
      const std::string dir = std::string("/flash/var/pdb/") + name + "/";
      root.write_file(dir + "files", "");
      if (std::none_of(nodes.begin(), nodes.end(), [](const auto& n) { return std::string(n.first) == "version"; }))
        root.write_file(dir + "version", "16803328 2\n");
      for (const auto& [file, type] : nodes) {
        std::string path = root.at(dir + file);
        if (type == S_IFSOCK) {
          int fd = socket(AF_UNIX, SOCK_STREAM, 0);
          sockaddr_un address{};
          address.sun_family = AF_UNIX;
          ASSERT_LT(path.size(), sizeof address.sun_path);
          std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
          ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
          close(fd);
        } else if (type == S_IFDIR) {
          ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
        } else {
          ASSERT_EQ(mknod(path.c_str(), type | 0644, type == S_IFCHR ? makedev(1, 3) : 0), 0) << path;
        }
      }
    };
  };
  const std::string plain = " in=/0/0 bundle=0 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n";
  run_cases({
      {"FIFOs as disabled and enabled", special("ff", {{"disabled", S_IFIFO}, {"enabled", S_IFIFO}}),
       "ff v=01006600 t=2" + plain},
      {"a FIFO as version", special("fv", {{"version", S_IFIFO}}),
       "fv v=00000000 t=0 in=/0/0 bundle=0 dis=0 user=0 pend=1 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a socket as disabled", special("so", {{"disabled", S_IFSOCK}}), "so v=01006600 t=2" + plain},
      {"a device as disabled", special("dv", {{"disabled", S_IFCHR}}), "dv v=01006600 t=2" + plain},
      {"a directory as disabled", special("dd", {{"disabled", S_IFDIR}}), "dd v=01006600 t=2" + plain},
  });
}

// Directories are read side by side, yet the records come in the order of a
// single pass: the images in directory order, then the stored images, then
// the bare records, without the bare record of a directory that a later
// directory's bundle names.
TEST(LoadRepository, ManyDirectoriesKeepTheOrderOfOnePass) {
  if (!can_change_root()) GTEST_SKIP() << "changing root needs root rights";
  device_root root;
  const std::string tail = " deps=[] prov=[] conf=[] ";
  std::map<std::string, std::string> image_line, stored_line, bare_line;
  for (int i = 0; i < 240; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "p%03d", i);
    const std::string dir = std::string("/flash/var/pdb/") + name + "/";
    const std::string t = std::to_string(i);
    const std::string image = pkgbuild::whole_file(part(1, header_payload(name, v1_0, i, 0)) + signature());
    switch (i % 4) {
      case 0:
        root.write_file(dir + "image", image);
        image_line[name] = std::string(name) + " v=01006600 t=" + t + " in=/0/0 bundle=0 dis=0 user=0 pend=0" + tail +
                           "files=[] note=";
        break;
      case 1:
        root.write_file(dir + "version", "16803328 " + t + "\n");
        root.write_file(dir + "files", std::string("flash/bin/") + name + "\n");
        bare_line[name] = std::string(name) + " v=01006600 t=" + t + " in=/0/0 bundle=0 dis=0 user=0 pend=0" + tail +
                          "files=[/flash/bin/" + name + "] note=";
        break;
      case 2:
        root.write_file(dir + "files", "");
        root.write_file(std::string("/rw/pckg/.images/") + name, image);
        stored_line[name] = std::string(name) + " v=01006600 t=" + t + " in=/0/0 bundle=0 dis=0 user=0 pend=0" +
                            tail + "files=[] note=";
        break;
      default:
        root.write_file(dir + "disabled", "user\n");
        bare_line[name] = std::string(name) + " v=00000000 t=0 in=/0/0 bundle=1 dis=1 user=1 pend=1" + tail +
                          "files=[] note=";
    }
  }
  // A bundle names p001, restored from metadata on its own, and p002, also
  // kept as a stored image.
  root.write_file("/flash/var/pdb/bun/image",
                  pkgbuild::whole_file(part(18, header_payload("bun", v3_1, 50, 0)) +
                                       part(20, dep_list_payload({{"p001", 0, 0, 0}, {"p002", 0, 0, 0}})) +
                                       part(1, header_payload("p001", v2_0, 61, 0)) + signature() +
                                       part(1, header_payload("p002", v2_0, 62, 0)) + signature()));
  const std::string member = " in=bun/50423296/50423296 bundle=0 dis=0 user=0 pend=0" + tail;
  image_line["bun"] = "p001 v=02006600 t=61" + member + "files=[/flash/bin/p001] note=\n" + "p002 v=02006600 t=62" +
                      member + "files=[] note=\n" + "bun v=03016600 t=50 in=/0/0 bundle=1 dis=0 user=0 pend=0" + tail +
                      "files=[] note=";
  bare_line.erase("p001");

  std::vector<std::string> order;
  DIR* dir = opendir(root.at("/flash/var/pdb").c_str());
  ASSERT_NE(dir, nullptr);
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') order.push_back(entry->d_name);
  closedir(dir);
  std::string expected;
  for (const auto* lines : {&image_line, &stored_line, &bare_line})
    for (const std::string& name : order)
      if (lines->count(name)) expected += lines->at(name) + "\n";
  EXPECT_EQ(load_in(root), expected + "out:log:");
  EXPECT_EQ(shown_in(root, load_scope::listing), shown_in(root, load_scope::everything));
}

TEST(LoadRepository, Schedules) {
  auto package = [](const char* name, const char* dir, const char* schedule, const char* version) {
    return [=](const device_root& root) {
      root.write_file(std::string("/flash/var/pdb/") + dir + "/version", version);
      root.write_file(std::string("/flash/var/pdb/") + dir + "/files", "");
      root.write_file(std::string("/flash/var/pdb/") + dir + "/disabled", "auto\n");
      root.write_file(std::string("/ram/pdb/") + name + "/schedule", schedule);
    };
  };
  run_cases({
      {"enable a disabled package", package("p", "p", "enable\n", "1 2\n"),
       "p v=00000001 t=2 in=/0/0 bundle=0 dis=1 user=1 pend=2 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"disable", package("p", "p", "  disable", "1 2\n"),
       "p v=00000001 t=2 in=/0/0 bundle=0 dis=1 user=1 pend=3 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"uninstall", package("p", "p", "uninstall\n", "1 2\n"),
       "p v=00000001 t=2 in=/0/0 bundle=0 dis=1 user=0 pend=1 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"words are case-sensitive", package("p", "p", "Enable\n", "1 2\n"),
       "p v=00000001 t=2 in=/0/0 bundle=0 dis=1 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a dotted name looks under its sanitised name", package("ab", "a.b", "disable\n", "1 2\n"),
       "a.b v=00000001 t=2 in=/0/0 bundle=0 dis=1 user=1 pend=3 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"an inert record reads no schedule", package("p", "p", "enable\n", "4294967295 4294967295\n"),
       "p v=ffffffff t=4294967295 in=/0/0 bundle=0 dis=1 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
  });
}

// Only directories are packages: the stream install's leftover image file and
// a symbolic link are not.
TEST(LoadRepository, PhantomEntriesAreNotPackages) {
  run_cases({
      {"plain file and links",
       [](const device_root& root) {
         root.write_file("/flash/var/pdb/image", pkgbuild::whole_file(part(1, header_payload("ghost", v1_0, 1, 0))));
         root.write_file("/flash/var/pdb/abc/version", "16803328 1\n");
         root.write_file("/flash/var/pdb/abc/files", "");
         root.symlink("abc", "/flash/var/pdb/lnk");
         root.symlink("/tmp", "/flash/var/pdb/tmplink");
         root.write_file("/rw/pckg/.images/image", pkgbuild::whole_file(part(1, header_payload("ghost", v1_0, 1, 0))));
       },
       "abc v=01006600 t=1 in=/0/0 bundle=0 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
  });
}

TEST(LoadRepository, MissingDatabaseWarns) {
  if (!can_change_root()) GTEST_SKIP() << "changing root needs root rights";
  device_root root;
  root.remove("/flash/var/pdb");
  root.write_file("/rw/pckg/.images/x", pkgbuild::whole_file(part(1, header_payload("x", v1_0, 1, 0))));
  EXPECT_EQ(load_in(root), "out:WARNING: could not open repo\nlog:WARNING: could not open repo|");
  EXPECT_EQ(load_in(root, true), "out:log:");
}

}  // namespace
