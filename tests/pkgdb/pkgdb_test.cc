// The installed database: list files, loading every kind of record, the
// metadata files a new package writes read back by the loader, the staged
// removal of a package and the claim of its database directory, and the
// listing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <sys/sysmacros.h>

#include "msg/msg.h"
#include "pkgbuild.h"
#include "pkgdb/listing.h"
#include "pkgdb/load.h"
#include "pkgdb/metadata.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "pkgdb/removal.h"
#include "pkgdb/repo.h"
#include "stage/commit.h"
#include "stage/manifest.h"
#include "stage/staging.h"
#include "support/device_root.h"

using pkgbuild::dep_list_payload;
using pkgbuild::header_payload;
using pkgbuild::part;
using pkgbuild::whole_file;
using testsupport::device_root;

namespace {

constexpr uint32_t v1_0 = 0x01006600, v1_2 = 0x01026600, v2_0 = 0x02006600, v3_1 = 0x03016600;

std::string list_text(const std::vector<pkg_dep>& list, bool with_extra) {
  std::string text = "[";
  for (const pkg_dep& d : list)
    text += (text.size() > 1 ? "," : "") + d.name + " " + std::to_string(d.min_version) + " " +
            std::to_string(d.max_version) + (with_extra ? " " + std::to_string(d.extra) : "");
  return text + "]";
}

// Name, version, build time, bundle, state and every list of each record.
std::string describe(const pkg_repo& repository) {
  std::string text;
  for (const pkg_image* r : repository.packages) {
    char version[16];
    std::snprintf(version, sizeof version, "%08x", r->version);
    std::string files;
    for (const std::string& path : r->files) files += (files.empty() ? "" : ",") + path;
    text += r->name + " v=" + version + " t=" + std::to_string(r->build_time) + " in=" + r->bundle.name + "/" +
            std::to_string(r->bundle.min_version) + " bundle=" + std::to_string(r->is_bundle) + " dis=" +
            std::to_string(r->disabled) + " user=" + std::to_string(r->user_set) + " pend=" + std::to_string(r->pending) +
            " deps=" + list_text(r->depends, false) + " prov=" + list_text(r->provides, true) + " conf=" +
            list_text(r->conflicts, false) + " files=[" + files + "] note=" + r->note + "\n";
  }
  return text;
}

// The records of the root's database and what loading printed; the listing's
// lighter load must show them as the whole load does.
std::string load_in(const device_root& root) {
  return pkgdb_test::run_in_root(root, [] {
    alarm(20);  // a loader that blocks fails the test instead of hanging it
    pkg_repo all, light;
    std::string out = pkgdb_test::printed([&](std::FILE* f) {
      terminal().out = f;
      load_repository(all, false, "i386");
    });
    load_repository(light, true, "i386", load_scope::listing);
    std::string listed = pkgdb_test::printed([&](std::FILE* f) { show_packages(light, f); });
    if (listed != pkgdb_test::printed([&](std::FILE* f) { show_packages(all, f); })) out += "listing differs";
    return describe(all) + out;
  });
}

std::string signature() { return part(9, std::string(68, 's')); }

TEST(Records, DroppedRecordsStayReadable) {
  // Installation reads the name of a record the schedule pass may just have dropped.
  pkg_repo repository;
  pkg_image* a = repository.append(std::make_unique<pkg_image>("a"));
  pkg_image* b = repository.append(std::make_unique<pkg_image>("b"));
  pkg_image* c = repository.append(std::make_unique<pkg_image>("c"));
  repository.append(std::make_unique<pkg_image>("c"));
  repository.erase(size_t{1});
  repository.erase(a);
  repository.erase(a);
  repository.erase(size_t{5});
  EXPECT_EQ(a->name + b->name, "ab");
  EXPECT_EQ(find_index(repository, "b"), -1);
  EXPECT_EQ(find_package(repository, "c"), c) << "the first record of a name";
}

// A malformed list keeps the entries before the fault and marks the package
// for removal; a missing list is an empty one.
TEST(Database, LoadsEveryKindOfRecord) {
  for (auto [name, cleaned] : {std::pair{"a.b", "ab"}, {"Routing-6_x", "Routing-6x"}, {"../..", ""}, {"w\xc3\xa9", "w"}})
    EXPECT_EQ(schedule_name(name), cleaned);
  if (!pkgdb_test::can_change_root()) GTEST_SKIP() << "changing root needs root rights";
  const std::string bundle = part(18, header_payload("sys", v3_1, 50, 0)) +
                             part(20, dep_list_payload({{"m1", 0, 0, 0}, {"m2", 0, 0, 0}}));
  const std::string m1 = part(1, header_payload("m1", v1_0, 51, 0)) + part(3, dep_list_payload({{"base", 5, 0, 0}})) +
                         part(4, "zz") + signature();
  const std::string m2 = part(1, header_payload("m2", v2_0, 52, 0, false)) + signature();
  const std::string sys_line = "sys v=03016600 t=50 in=/0 bundle=1 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n";
  const std::string lists = " deps=[] prov=[] conf=[] files=[] note=\n", plain = " in=/0 bundle=0 dis=0 user=0 pend=0" + lists;
  auto files = [](std::vector<std::pair<std::string, std::string>> contents) {
    return [=](const device_root& root) { for (const auto& [path, content] : contents) root.write_file(path, content); };
  };
  const std::string pdb = "/flash/var/pdb/";
  auto schedule = [&](std::string dir, std::string words, std::string version) {
    return files({{pdb + dir + "/version", version}, {pdb + dir + "/files", ""}, {pdb + dir + "/disabled", "auto\n"},
                  {"/ram/pdb/" + schedule_name(dir) + "/schedule", words}});
  };
  auto list = [&](const char* file, const char* content) {
    return files({{pdb + "p/version", "1 1\n"}, {pdb + "p/files", ""}, {pdb + "p/" + file, content}});
  };
  auto p = [](const char* entries, int pending) {
    std::string text = "p v=00000001 t=1 in=/0 bundle=0 dis=0 user=0 pend=";
    return text.append(std::to_string(pending)).append(" ").append(entries).append(" conf=[] files=[] note=\n");
  };
  const struct { const char* what; std::function<void(const device_root&)> setup; std::string expected; } cases[] = {
      {"no list", list("files", ""), p("deps=[] prov=[]", 0)},
      {"an empty list", list("deps", ""), p("deps=[] prov=[]", 0)},
      {"blanks and tabs", list("deps", "  a\t1\n2   b 0\n0"), p("deps=[a 1 2,b 0 0] prov=[]", 0)},
      {"the largest version", list("deps", "a 4294967295 0007\n"), p("deps=[a 4294967295 7] prov=[]", 0)},
      {"a cut entry", list("deps", "a 1 2\nb 3"), p("deps=[a 1 2] prov=[]", 1)},
      {"a negative version", list("deps", "a -1 2\n"), p("deps=[] prov=[]", 1)},  // a stream extraction reads 4294967295
      {"a version too large", list("deps", "a 4294967296 0\n"), p("deps=[] prov=[]", 1)},
      {"the extra's bounds", list("provides", "p 1 2 2147483647\nq 0 0 -2147483648\n"),
       p("deps=[] prov=[p 1 2 2147483647,q 0 0 -2147483648]", 0)},
      {"no extra", list("provides", "p 1 2\n"), p("deps=[] prov=[]", 1)},
      {"an extra too large", list("provides", "p 1 2 2147483648\n"), p("deps=[] prov=[]", 1)},
      {"an image with its lists, and the files it extracted",
       files({{pdb + "tool/image", whole_file(part(1, header_payload("tool", v1_2, 1000, 0)) + part(23, "a note") +
                                              part(3, dep_list_payload({{"base", 5, 0, 0}})) +
                                              part(19, dep_list_payload({{"svc", 1, 2, -1}})) +
                                              part(17, dep_list_payload({{"old", 0, 0, 0}})) + signature())},
              {pdb + "tool/files", "flash/bin/tool\n"}}),
       "tool v=01026600 t=1000 in=/0 bundle=0 dis=0 user=0 pend=0 deps=[base 5 0] prov=[svc 1 2 -1] conf=[old 0 0] "
       "files=[/flash/bin/tool] note=a note\n"},
      {"members first, the bundle last; a note after a member's signature passed over",
       files({{pdb + "sys/image", whole_file(bundle + m1 + part(23, "stray") + m2)}, {pdb + "m1/disabled", "auto\n"}}),
       "m1 v=01006600 t=51 in=sys/50423296 bundle=0 dis=1 user=0 pend=0 deps=[base 5 0] prov=[] conf=[] files=[] note=\n"
       "m2 v=02006600 t=52 in=sys/50423296 bundle=0 dis=0 user=0 pend=0" + lists + sys_line},
      {"an unreadable header falls back to the metadata under the directory name",
       files({{pdb + "cut/image", whole_file(part(1, header_payload("other", v2_0, 1, 0))).substr(0, 20)},
              {pdb + "cut/version", "16803328 9\n"}, {pdb + "cut/files", ""}}),
       "cut v=01006600 t=9" + plain},
      {"a stored image outside the database",
       files({{"/rw/pckg/.images/kept", whole_file(part(1, header_payload("kept", v1_2, 5, 0)) + signature())},
              {pdb + "kept/files", "flash/bin/kept\nbin/old-form\n"}}),
       "kept v=01026600 t=5 in=/0 bundle=0 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[/bin/old-form,/flash/bin/kept] note=\n"},
      {"an empty directory", [&](const device_root& root) { root.make_dirs(pdb + "empty"); },
       "empty v=00000000 t=0 in=/0 bundle=1 dis=0 user=0 pend=1 deps=[] prov=[] conf=[] files=[] note=\n"},
      // Only directories are packages: not the stream install's leftover
      // image file, nor a link.
      {"phantoms", [&](const device_root& root) {
         root.write_file(pdb + "image", whole_file(part(1, header_payload("ghost", v1_0, 1, 0))));
         root.write_file(pdb + "abc/version", "16803328 1\n");
         root.write_file(pdb + "abc/files", "");
         root.symlink("abc", pdb + "lnk");
         root.write_file("/rw/pckg/.images/image", whole_file(part(1, header_payload("ghost", v1_0, 1, 0))));
       }, "abc v=01006600 t=1" + plain},
      // Only regular files are database files: a FIFO used to block the load
      // for good, and a device counted as "disabled" for the listing alone.
      {"special files read as missing", [&](const device_root& root) {
         root.write_file(pdb + "ff/files", "");
         root.write_file(pdb + "ff/version", "16803328 2\n");
         for (const char* name : {"image", "disabled", "enabled"}) mkfifo(root.at(pdb + "ff/" + name).c_str(), 0600);
       }, "ff v=01006600 t=2 in=/0 bundle=0 dis=0 user=0 pend=0" + lists},
      {"a device as disabled, a directory as version", [&](const device_root& root) {
         root.write_file(pdb + "dv/files", "");
         mkdir(root.at(pdb + "dv/version").c_str(), 0755);
         mknod(root.at(pdb + "dv/disabled").c_str(), S_IFCHR | 0600, makedev(1, 3));
       }, "dv v=00000000 t=0 in=/0 bundle=0 dis=0 user=0 pend=1" + lists},
      // "enable" and "uninstall" are the end-to-end rows' (install, faults).
      {"disable", schedule("p", "  disable", "1 2\n"), "p v=00000001 t=2 in=/0 bundle=0 dis=1 user=1 pend=3" + lists},
      {"words are case-sensitive", schedule("p", "Enable\n", "1 2\n"), "p v=00000001 t=2 in=/0 bundle=0 dis=1 user=0 pend=0" + lists},
      {"a dotted name's schedule", schedule("a.b", "disable\n", "1 2\n"), "a.b v=00000001 t=2 in=/0 bundle=0 dis=1 user=1 pend=3" + lists},
      {"an inert record reads no schedule", schedule("p", "enable\n", "4294967295 4294967295\n"),
       "p v=ffffffff t=4294967295 in=/0 bundle=0 dis=1 user=0 pend=0" + lists},
      {"a missing database", [](const device_root& root) { root.remove("/flash/var/pdb"); }, "WARNING: could not open repo\n"},
  };
  for (const auto& c : cases) {
    device_root root;
    c.setup(root);
    EXPECT_EQ(load_in(root), c.expected) << c.what;
  }
}

// What write_metadata stages for a new version, committed over the old
// version's files and loaded back: the files left, and the record. An
// automatic "disabled" is the end-to-end rows' (install).
TEST(Database, MetadataReadsBackAsWritten) {
  if (!pkgdb_test::can_change_root()) GTEST_SKIP() << "changing root needs root rights";
  const std::string lists = " deps=[] prov=[] conf=[] files=[/flash/bin/tool] note=\n";
  const struct { const char* what; std::function<void(pkg_image&)> change; std::vector<const char*> old; std::string expected; } cases[] = {
      {"a plain package", [](pkg_image&) {}, {}, "deps files version|tool v=01026600 t=1000 in=/0 bundle=0 dis=0 user=0 pend=0" + lists},
      {"its lists in list order; old lists and bundle go",
       [](pkg_image& r) {
         r.depends = {{"zlib", 5, 0, 0}, {"base", 0, 4294967295u, 7}};
         r.provides = {{"svc", 1, 2, -1}};
         r.conflicts = {{"old", 0, 3, -5}};
         r.files = {"/flash/lib/b a", "/flash/bin/a", "/", ""};
       },
       {"bundle"}, "conflicts deps files provides version|tool v=01026600 t=1000 in=/0 bundle=0 dis=0 user=0 pend=0 "
       "deps=[zlib 5 0,base 0 4294967295] prov=[svc 1 2 -1] conf=[old 0 3] files=[/flash/bin/a,/flash/lib/b a] note=\n"},
      {"a bundle member", [](pkg_image& r) { r.bundle = {"sys", v3_1, v3_1, 0}; }, {"provides", "conflicts"},
       "bundle deps files version|tool v=01026600 t=1000 in=sys/0 bundle=0 dis=0 user=0 pend=1" + lists},  // without its bundle
      {"disabled by the user", [](pkg_image& r) { r.disabled = r.user_set = true; }, {"enabled"},
       "deps disabled files version|tool v=01026600 t=1000 in=/0 bundle=0 dis=1 user=1 pend=0" + lists},
      {"kept enabled by the user", [](pkg_image& r) { r.user_set = true; }, {"disabled"},
       "deps enabled files version|tool v=01026600 t=1000 in=/0 bundle=0 dis=0 user=1 pend=0" + lists},
      {"a bundle record has no files", [](pkg_image& r) { r.is_bundle = true; r.files.clear(); }, {"files", "disabled", "enabled"},
       "deps version|tool v=01026600 t=1000 in=/0 bundle=1 dis=0 user=0 pend=0 deps=[] prov=[] conf=[] files=[] note=\n"},
      {"a package that keeps its image lists only its files",
       [](pkg_image& r) { r.keeps_image = true; r.depends = {{"zlib", 5, 0, 0}}; r.bundle.name = "sys"; },
       {"version", "deps", "provides", "conflicts", "bundle"}, "files|"},
      {"no metadata", [](pkg_image& r) { r.flags = PKG_FLAG_NO_METADATA; r.files.clear(); r.disabled = true; },
       {"version", "files"}, "disabled|"},
  };
  for (const auto& c : cases) {
    device_root root;
    for (const char* file : c.old) root.write_file(std::string("/flash/var/pdb/tool/") + file, "old 1 2 3\n");
    pkg_image record("tool");
    record.version = v1_2;
    record.build_time = 1000;
    record.files = {"/flash/bin/tool"};
    c.change(record);
    std::string result = pkgdb_test::run_in_root(root, [&] {
      pkg_repo repository;
      manifest m;
      if (!write_metadata(repository, record, m) || !commit(m, "", false)) return std::string("failed");
      std::string left = pkgdb_test::list_dir("/flash/var/pdb/tool");
      if (left.find(' ') == std::string::npos) return left + "|";
      terminal().quiet = true;
      load_repository(repository, true, "i386");
      return left + "|" + describe(repository);
    });
    EXPECT_EQ(result, c.expected) << c.what;
  }
}

std::string blanks(size_t count) { return std::string(count, ' '); }
const std::string header_text = blanks(12) + "Name    " + blanks(6) + "Version " + blanks(15) + "Built" + blanks(36) +
                                "Note\n" + std::string(94, '-') + "\n";

using pkgdb_test::exists;
using pkgdb_test::ops_text;
using pkgdb_test::put;
// Stored paths come as full paths and relative to /flash; the full form used
// to get a second "/flash/" and removed nothing.
TEST(Removal, FilesDatabaseDirectoryAndClaims) {
  pkgdb_test::in_device_root([] {
    for (const char* dir : {"/flash/bin", "/flash/etc", "/flash/etc/dir", "/flash/var", "/flash/var/pdb", "/flash/var/pdb/pkg"})
      ASSERT_EQ(mkdir(dir, 0755), 0);
    for (const char* file : {"/flash/bin/a", "/flash/etc/b", "/flash/etc/dir/keep", "/flash/shared", "/flash/moved",
                             "/flash/var/pdb/pkg/image", "/outside", "/flash/bootimage"})
      put(file, "x");
    pkg_repo repository;
    auto add = [&](const char* name, std::set<std::string> files) {
      pkg_image* r = repository.append(std::make_unique<pkg_image>(name));
      r->files = std::move(files);
      return r;
    };
    add("other", {"shared", "/flash/moved"});
    pkg_image* pkg = add("pkg", {"/flash/bin/a", "etc/b", "etc/dir", "/flash/etc/dir/", "/flash/", "flash/", "../outside",
                                 "/flash/bin/../../outside", "/flash/shared", "moved", "/flash/missing"});
    add("pkg", {"/flash/bin/a"});  // a record of the same name protects nothing
    pkg->pending = PENDING_UNINSTALL;
    pkg->flags = PKG_FLAG_BOOT;
    ASSERT_EQ(link("/flash/bootimage", "/flash/bootimage.keep"), 0);
    manifest m;
    ASSERT_TRUE(pkgdb_test::stage_file(m, "/flash/missing", 0));
    std::string orphan = m.ops["/flash/missing"].source;
    stage_package_removal(repository, *pkg, m);
    EXPECT_EQ(ops_text(m), "/flash/bin/a=4:;/flash/etc/b=4:;/flash/var/pdb/pkg/=4:;/flash/var/pdb/pkg/image=4:;")
        << "a boot image with a second link stays";
    EXPECT_FALSE(exists(orphan));
    EXPECT_TRUE(pkg->files.empty() && pkg->pending == PENDING_NONE);
    ASSERT_EQ(unlink("/flash/bootimage.keep"), 0);
    stage_package_removal(repository, *pkg, m);
    EXPECT_EQ(m.ops.count("/flash/bootimage"), 1u);
    for (const char* name : {"", ".", "..", "a\x01"}) {
      manifest none;
      stage_package_removal(repository, *add(name, {}), none);
      EXPECT_TRUE(none.empty() && !claim_pdb_dir(pkg_image(name), none)) << "'" << name << "'";
    }
    // A database directory is usable when missing, a directory, or staged for removal.
    ASSERT_EQ(mkdir("/flash/var/pdb/removed", 0755) | mkdir("/flash/var/pdb/linked", 0755), 0);
    ASSERT_EQ(symlink("/flash/var/pdb/pkg", "/flash/var/pdb/link") | symlink("/nowhere", "/flash/var/pdb/dangling"), 0);
    put("/flash/var/pdb/file", "x");
    manifest claims;
    stage_removal(claims, "/flash/var/pdb/removed/");
    stage_link(claims, "/x", "/flash/var/pdb/linked/");
    std::string usable;
    for (const char* name : {"missing", "pkg", "removed", "linked", "file", "link", "dangling"})
      if (claim_pdb_dir(pkg_image(name), claims)) usable += std::string(name) + " ";
    EXPECT_EQ(usable, "missing pkg removed ");
    EXPECT_EQ(ops_text(claims), "/flash/var/pdb/linked/=3:/x;") << "the removal is taken back";
  }, 1 << 20, 4 << 20);
}

TEST(Listing, RowsMarkersAndDates) {
  pkg_repo repository;
  auto add = [&](const std::string& name, uint32_t version, uint32_t build_time) {
    pkg_image* r = repository.append(std::make_unique<pkg_image>(name));
    r->version = version, r->build_time = build_time;
    return r;
  };
  auto listing = [&] { return pkgdb_test::printed([&](std::FILE* f) { show_packages(repository, f); }); };
  EXPECT_EQ(listing(), header_text);
  add("abc", v1_2, 0);
  add("routing", 0x06306601, 1700000000)->disabled = true;
  pkg_image* member = add("wireless", 0x0702630A, 0x7FFFFFFF);
  member->bundle = {"system", 0x07026600, 0x07026600, 0};
  member->note = "radio drivers";
  pkg_image* both = add("x", 0xFFFF61FF, 0x80000000);
  both->disabled = true;
  both->bundle.name = "b";
  add("a-very-long-package-name", v1_0, 0)->note = std::string(45, 'n');  // long texts are never cut
  // Control bytes of package texts cannot reach the terminal.
  add(std::string("ev\033il", 5), v1_0, 0)->note = std::string("n\0o\rte\x7f", 7);
  EXPECT_EQ(listing(), header_text + blanks(13) + "abc    " + blanks(10) + "1.2 Jan/01/1970 00:00:00" + blanks(40) + "\n" +
                           blanks(9) + "routing X  " + blanks(7) + "6.48.1 Nov/14/2023 22:13:20" + blanks(40) + "\n" +
                           blanks(8) + "wireless  B " + blanks(6) + "7.2rc10 Jan/19/2038 03:14:07" + blanks(27) + "radio drivers\n" +
                           blanks(15) + "x XB " + "255.255alpha255 Jan/19/2038 03:14:08" + blanks(40) + "\n" +
                           "a-very-long-package-name    " + blanks(10) + "1.0 Jan/01/1970 00:00:00" + std::string(45, 'n') + "\n" +
                           blanks(11) + "ev?il    " + blanks(10) + "1.0 Jan/01/1970 00:00:00" + blanks(33) + "n?o?te?\n");
  // Build times past 2038 convert through 64 bits, whatever time_t is here,
  // and agree with the host's calendar where its time_t has 64 bits.
  for (uint64_t t = 0; t <= 0xFFFFFFFFu; t += 86400 * 7 + 12347) {
    repository.packages.clear();
    add("p", 0, static_cast<uint32_t>(t));
    time_t host_time = static_cast<time_t>(t);
    std::tm broken{};
    char host[64] = "?";
    if (sizeof(time_t) == 8 && gmtime_r(&host_time, &broken)) std::strftime(host, sizeof host, "%b/%d/%Y %H:%M:%S", &broken);
    ASSERT_EQ(listing().substr(header_text.size() + 34, 20), host) << t;
  }
  for (auto [t, text] : {std::pair{0xFFFFFFFFu, "Feb/07/2106 06:28:15"}, {4107542400u, "Mar/01/2100 00:00:00"},
                         {4107542399u, "Feb/28/2100 23:59:59"}, {951782400u, "Feb/29/2000 00:00:00"}}) {
    repository.packages.clear();
    add("p", 0, t);
    EXPECT_EQ(listing().substr(header_text.size() + 34, 20), text) << t;
  }
}

}  // namespace
