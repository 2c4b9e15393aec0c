// The installed database: loading every kind of record, the metadata files a
// new package writes read back by the loader, the staged removal of a
// package and the claim of its database directory, and the listing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "msg/msg.h"
#include "pkgbuild.h"
#include "pkgdb/db_format.h"
#include "pkgdb/listing.h"
#include "pkgdb/load.h"
#include "pkgdb/metadata.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "pkgdb/removal.h"
#include "pkgdb/repo.h"
#include "platform/fs.h"
#include "stage/commit.h"
#include "stage/manifest.h"
#include "support/device_root.h"

using namespace pkgbuild;
using testsupport::device_root;
using testsupport::tree;

namespace {

constexpr uint32_t v1_0 = 0x01006600, v1_2 = 0x01026600, v2_0 = 0x02006600, v3_1 = 0x03016600;
const std::string pdb = "/flash/var/pdb/";

// " word[entries]", or nothing for an empty list.
std::string list_text(const char* word, const std::vector<pkg_dep>& list, bool with_extra = false) {
  std::string text;
  for (const pkg_dep& d : list)
    text += (text.empty() ? " " + std::string(word) + "=[" : ",") + d.name + " " + std::to_string(d.min_version) + " " +
            std::to_string(d.max_version) + (with_extra ? " " + std::to_string(d.extra) : "");
  return text.empty() ? text : text + "]";
}

// Each record's name, version and build time, then whatever a fresh record
// has not: its bundle, state, lists, files and note.
std::string describe(const pkg_repo& repository) {
  std::string text;
  for (const pkg_image* r : repository.packages) {
    char head[48];
    std::snprintf(head, sizeof head, " v=%08x t=%u", r->version, r->build_time);
    text += r->name + head + (r->bundle.name.empty() ? "" : " in=" + r->bundle.name + "/" + std::to_string(r->bundle.min_version));
    for (auto [flag, word] : {std::pair{r->is_bundle, " bundle"}, {r->disabled, " off"}, {r->user_set, " user"}})
      if (flag) text += word;
    if (r->pending) text += " pend=" + std::to_string(r->pending);
    text += list_text("deps", r->depends) + list_text("prov", r->provides, true) + list_text("conf", r->conflicts);
    std::string files;
    for (std::string_view path : r->files) files.append(files.empty() ? " files=[" : ",").append(path);
    text += (files.empty() ? "" : files + "]") + (r->note.empty() ? "" : " note=" + r->note) + "\n";
  }
  return text;
}

// The records of a device with these files and what loading printed; the
// listing's own load must warn as the whole load does and list the same rows.
std::string load_in(const tree& files) {
  device_root root;
  root.put(files);
  return pkgdb_test::run_in_root(root, [] {
    alarm(20);  // a loader that blocks fails the test instead of hanging it
    pkg_repo all;
    package_listing whole, light;
    auto shown = [](const package_listing& l) { return pkgdb_test::printed([&](console& c) { show_packages(l, c.out); }); };
    std::string out = pkgdb_test::printed([&](console& c) { load_repository(all, c, "i386"); });
    for (const pkg_image* r : all.packages) whole.rows.push_back(whole.row_of(*r));
    std::string light_out = pkgdb_test::printed([&](console& c) { load_listing(light, c); });
    return describe(all) + out + (light_out == out && shown(light) == shown(whole) ? "" : "listing differs");
  });
}

std::string signature() { return part(9, std::string(68, 's')); }
std::string image_of(const std::string& name, uint32_t version, uint32_t build_time, const std::string& more = "") {
  return whole_file(part(1, header_payload(name, version, build_time, 0)) + more);
}

// Well-formed list files are the round trip's below; damaged files beyond
// the rule of the first row are the fuzz targets' and the start-up rows'
// (install).
TEST(Database, LoadsEveryKindOfRecord) {
  for (auto [name, cleaned] : {std::pair{"a.b", "ab"}, {"Routing-6_x", "Routing-6x"}, {"../..", ""}, {"w\xc3\xa9", "w"}})
    EXPECT_EQ(schedule_name(name), cleaned);
  const std::string base = part(3, dep_list_payload({{"base", 5, 0, 0}}));
  const std::string bundle = whole_file(
      part(18, header_payload("sys", v3_1, 50, 0)) + part(20, dep_list_payload({{"m1", 0, 0, 0}, {"m2", 0, 0, 0}})) +
      part(1, header_payload("m1", v1_0, 51, 0)) + base + part(4, "zz") + signature() + part(23, "stray") +
      part(1, header_payload("m2", v2_0, 52, 0, false)) + signature());
  const std::string tool = image_of("tool", v1_2, 1000, part(23, "a note") + base +
      part(19, dep_list_payload({{"svc", 1, 2, -1}})) + part(17, dep_list_payload({{"old", 0, 0, 0}})) + signature());
  auto with = [](std::string dir, std::string version, tree more) {
    return more.insert({{pdb + dir + "/version", version}, {pdb + dir + "/files", ""}}), more;
  };
  const struct { const char* what; tree files; std::string expected; } cases[] = {
      // A malformed list keeps the entries before the fault and marks the
      // package for removal.
      {"a cut entry", with("p", "1 1\n", {{pdb + "p/deps", "a 1 2\nb 3"}}), "p v=00000001 t=1 pend=1 deps=[a 1 2]\n"},
      {"a provides entry cut before its extra", with("p", "1 1\n", {{pdb + "p/provides", "a 1 2\n"}}), "p v=00000001 t=1 pend=1\n"},
      {"an unreadable header: the metadata under the directory name", with("cut", "16803328 9\n", {{pdb + "cut/image", image_of("other", v2_0, 1).substr(0, 20)}}), "cut v=01006600 t=9\n"},
      {"an empty directory: a bundle to remove", {{pdb + "empty", "\x01" "d755"}}, "empty v=00000000 t=0 bundle pend=1\n"},
      {"an image with its lists, and the files it extracted", {{pdb + "tool/image", tool}, {pdb + "tool/files", "flash/bin/tool\n"}},
       "tool v=01026600 t=1000 deps=[base 5 0] prov=[svc 1 2 -1] conf=[old 0 0] files=[/flash/bin/tool] note=a note\n"},
      {"members first, the bundle last; a note after a member's signature passed over",
       {{pdb + "sys/image", bundle}, {pdb + "m1/disabled", "auto\n"}},
       "m1 v=01006600 t=51 in=sys/50423296 off deps=[base 5 0]\nm2 v=02006600 t=52 in=sys/50423296\nsys v=03016600 t=50 bundle\n"},
      {"a stored image outside the database",
       {{"/rw/pckg/.images/kept", image_of("kept", v1_2, 5, signature())}, {pdb + "kept/files", "flash/bin/kept\nbin/old-form\n"}},
       "kept v=01026600 t=5 files=[/bin/old-form,/flash/bin/kept]\n"},
      {"the images' records first, then the stored images', then the bare ones",
       with("a", "1 2\n", {{pdb + "z/image", image_of("z", v1_0, 1)}, {pdb + "m/files", ""},
        {"/rw/pckg/.images/m", image_of("m", v1_2, 5)}}),
       "z v=01006600 t=1\nm v=01026600 t=5\na v=00000001 t=2\n"},
      // Only directories are packages: not the stream install's leftover
      // image file, nor a link.
      {"phantoms", with("abc", "16803328 1\n", {{pdb + "image", image_of("ghost", v1_0, 1)}, {pdb + "lnk", testsupport::link_to("abc")},
         {"/rw/pckg/.images/image", image_of("ghost", v1_0, 1)}}), "abc v=01006600 t=1\n"},
      // Only regular files are database files: a FIFO used to block the load
      // for good, and one counted as "disabled" for the listing alone.
      {"special files read as missing", with("ff", "16803328 2\n", {{pdb + "ff/image", testsupport::fifo},
         {pdb + "ff/disabled", testsupport::fifo}, {pdb + "ff/enabled", testsupport::fifo}}), "ff v=01006600 t=2\n"},
      // "enable", "disable" and "uninstall" are the end-to-end rows' (install, faults).
      {"a dotted name's schedule", with("a.b", "1 2\n", {{pdb + "a.b/disabled", "auto\n"},
         {"/ram/pdb/ab/schedule", "  disable\n"}}), "a.b v=00000001 t=2 off user pend=3\n"},
      {"an inert record reads no schedule", with("p", "4294967295 4294967295\n", {{pdb + "p/disabled", "auto\n"},
         {"/ram/pdb/p/schedule", "enable\n"}}), "p v=ffffffff t=4294967295 off\n"},
      {"a missing database", {{"/flash/var/pdb", testsupport::gone}}, "WARNING: could not open repo\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(load_in(c.files), c.expected) << c.what;
}

// What write_metadata stages for a new version, committed over the old
// version's files and loaded back: the files left, and the record. The
// "disabled" of an upgraded package is the end-to-end rows' (install).
TEST(Database, MetadataReadsBackAsWritten) {
  const struct { const char* what; std::function<void(pkg_image&)> change; std::vector<const char*> old; std::string expected; } cases[] = {
      {"a plain package; the old lists and bundle go", [](pkg_image&) {}, {"provides", "conflicts", "bundle"},
       "deps files version|tool v=01026600 t=1000 files=[/flash/bin/tool]\n"},
      {"a bundle member's lists in list order", [](pkg_image& r) {
         r.depends = {{"zlib", 5, 0, 0}, {"base", 0, 4294967295u, 7}}, r.provides = {{"svc", 1, 2, -1}};
         r.conflicts = {{"old", 0, 3, -5}}, r.bundle = {"sys", v3_1, v3_1, 0};
         r.files = {"/flash/lib/b a", "/flash/bin/a", "/", ""};
       }, {}, "bundle conflicts deps files provides version|tool v=01026600 t=1000 in=sys/0 pend=1 "  // without its bundle
       "deps=[zlib 5 0,base 0 4294967295] prov=[svc 1 2 -1] conf=[old 0 3] files=[/flash/bin/a,/flash/lib/b a]\n"},
      {"a bundle record, kept enabled by the user, has no files", [](pkg_image& r) { r.is_bundle = r.user_set = true; r.files.clear(); },
       {"files", "disabled"}, "deps enabled version|tool v=01026600 t=1000 bundle user\n"},
      {"a package that keeps its image lists only its files",
       [](pkg_image& r) { r.keeps_image = true; r.depends = {{"zlib", 5, 0, 0}}; r.bundle.name = "sys"; },
       {"version", "deps", "provides", "conflicts", "bundle"}, "files|"},
      {"no metadata", [](pkg_image& r) { r.flags = PKG_FLAG_NO_METADATA; r.files.clear(); r.disabled = true; },
       {"version", "files"}, "disabled|"},
  };
  for (const auto& c : cases) {
    device_root root;
    for (const char* file : c.old) root.write_file(pdb + "tool/" + file, "old 1 2 3\n");
    pkg_image record = pkgdb_test::rec<pkg_image>("tool", v1_2, 1000);
    record.files = {"/flash/bin/tool"};
    c.change(record);
    std::string left = pkgdb_test::run_in_root(root, [&] {
      pkg_repo repository;
      manifest m;
      console screen;
      return write_metadata(screen, repository, record, m) && commit(m, "", nullptr) ? pkgdb_test::list_dir(pdb + "tool") : "failed";
    });
    EXPECT_EQ(left + "|" + (left.find(' ') == std::string::npos ? "" : load_in(root.snapshot())), c.expected) << c.what;
  }
}

// Stored paths come as full paths and relative to /flash; the full form used
// to get a second "/flash/" and removed nothing.
TEST(Removal, FilesDatabaseDirectoryAndClaims) {
  device_root root;
  tree files = {{"/outside", "x"}, {pdb + "link", testsupport::link_to("pkg")},
                {pdb + "dangling", testsupport::link_to("/nowhere")}};
  for (const char* file : {"bin/a", "etc/b", "etc/dir/keep", "shared", "moved", "bootimage", "var/pdb/pkg/image",
                           "var/pdb/file", "var/pdb/removed/x", "var/pdb/linked/x"})
    files[std::string("/flash/").append(file)] = "x";
  root.put(files);
  pkgdb_test::run_in_root(root, [] {
    pkg_repo repository;
    auto add = [&](const char* name, path_set files) {
      pkg_image* r = repository.append(std::make_unique<pkg_image>(name));
      return r->files = std::move(files), r;
    };
    add("other", {"shared", "/flash/moved"});
    pkg_image* pkg = add("pkg", {"/flash/bin/a", "etc/b", "etc/dir", "/flash/etc/dir/", "/flash/", "flash/", "../outside",
                                 "/flash/bin/../../outside", "/flash/shared", "moved"});
    add("pkg", {"/flash/bin/a"});  // a record of the same name protects nothing
    pkg->flags = PKG_FLAG_BOOT;
    manifest m, claims;
    EXPECT_EQ(fs::link("/flash/bootimage", "/flash/bootimage.keep"), 0);
    stage_package_removal(repository, *pkg, m);
    EXPECT_EQ(pkgdb_test::ops_text(m), "/flash/bin/a=4:;/flash/etc/b=4:;/flash/var/pdb/pkg/=4:;"
                                       "/flash/var/pdb/pkg/image=4:;") << "a boot image with a second link stays";
    EXPECT_EQ(fs::unlink("/flash/bootimage.keep"), 0);
    stage_package_removal(repository, *pkg, m);
    EXPECT_EQ(m.ops.count("/flash/bootimage"), 1u);
    // The schedule pass drops the removed record; installation still reads its name.
    repository.erase(pkg), repository.erase(pkg);
    EXPECT_TRUE(pkg->name == "pkg" && repository.packages.size() == 2u);
    // A database directory is usable when missing, a directory, or staged for removal.
    stage_removal(claims, "/flash/var/pdb/removed/");
    stage_link(claims, "/x", "/flash/var/pdb/linked/");
    std::string usable;
    for (const char* name : {"missing", "pkg", "removed", "linked", "file", "link", "dangling"})
      if (claim_pdb_dir(pkg_image(name), claims)) usable += std::string(name) + " ";
    EXPECT_EQ(usable, "missing pkg removed ");
    EXPECT_EQ(pkgdb_test::ops_text(claims), "/flash/var/pdb/linked/=3:/x;") << "the removal is taken back";
    return std::string();
  });
}

TEST(Listing, RowsMarkersAndDates) {
  auto blanks = [](size_t count) { return std::string(count, ' '); };
  package_listing listing;
  auto add = [&](std::string name, uint32_t version, uint32_t built, bool off, std::string bundle, std::string note) {
    pkg_image r(name);
    r.version = version, r.build_time = built, r.disabled = off, r.bundle.name = bundle, r.note = note;
    listing.rows.push_back(listing.row_of(r));
  };
  add("routing", 0x06306601, 951782400, true, "", "");
  add("wireless", 0x0702630A, 0x7FFFFFFF, false, "system", "radio drivers");
  // Build times past 2038 convert through 64 bits, whatever time_t is here.
  add("x", 0xFFFF61FF, 0xFFFFFFFF, true, "b", "");
  // Long texts are never cut; control bytes of package texts cannot reach the terminal.
  add("a-very-long\033package-name", v1_0, 1711929599, false, "", std::string("n\0o\rte\x7f", 7) + std::string(40, 'n'));
  EXPECT_EQ(pkgdb_test::printed([&](console& c) { show_packages(listing, c.out); }),
            blanks(12) + "Name    " + blanks(6) + "Version " + blanks(15) + "Built" + blanks(36) + "Note\n" + std::string(94, '-') +
                "\n" + blanks(9) + "routing X  " + blanks(7) + "6.48.1 Feb/29/2000 00:00:00" + blanks(40) + "\n" +
                blanks(8) + "wireless  B " + blanks(6) + "7.2rc10 Jan/19/2038 03:14:07" + blanks(27) + "radio drivers\n" +
                blanks(15) + "x XB " + "255.255alpha255 Feb/07/2106 06:28:15" + blanks(40) + "\n" +
                "a-very-long?package-name    " + blanks(10) + "1.0 Mar/31/2024 23:59:59n?o?te?" + std::string(40, 'n') + "\n");
}

}  // namespace
