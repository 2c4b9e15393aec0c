#include "pkgfile/extract.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "install/install_e2e.h"
#include "pkgbuild.h"
#include "pkgdb/record.h"
#include "pkgfile/pkg_stream.h"
#include "stage/manifest.h"

namespace {

using pkgbuild::file_entry;
using pkgbuild::header_payload;
using pkgbuild::part;
using pkgbuild::whole_file;

constexpr uint16_t regular = file_mode_regular | 0644;
constexpr uint16_t directory = 0x4000 | 0755;
constexpr uint16_t symlink_mode = 0xA000 | 0777;

// A scratch device root with the trees extraction writes into. Extraction
// stages files at absolute paths, so every run happens in a child process
// changed into this root.
class scratch_root {
 public:
  scratch_root() {
    char pattern[] = "/tmp/pkgfile-extract-XXXXXX";
    path_ = mkdtemp(pattern);
    for (const char* dir : {"/flash", "/ram", "/tmp", "/dev", "/proc"}) mkdir((path_ + dir).c_str(), 0755);
  }
  ~scratch_root() {
    nftw(path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  }
  const std::string& path() const { return path_; }
  void write(const std::string& device_path, const std::string& content) const {
    std::ofstream(path_ + device_path) << content;
  }

 private:
  std::string path_;
};

bool can_chroot(std::string* why) {
  if (geteuid() != 0) {
    *why = "changing root needs root";
    return false;
  }
  return true;
}

// Runs `body` in a child changed into `root` and returns what it wrote to
// the pipe; "child failed" when it did not end normally.
std::string run_in_root(const std::string& root, const std::function<std::string()>& body,
                        const std::function<bool()>& before_chroot = {}) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::string report;
    if (before_chroot && !before_chroot()) report = "setup failed";
    else if (chroot(root.c_str()) != 0 || chdir("/") != 0) report = "chroot failed";
    else report = body();
    ssize_t ignored = write(fds[1], report.data(), report.size());
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
  return report;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

struct extract_setup {
  std::string container;  // the payload of the files part (compressed)
  bool disabled = false;
};

// What an extraction left: its result, the repository (messages), the
// record (files), the manifest and what was printed.
struct extract_outcome {
  bool ok;
  const pkg_repo& repository;
  const pkg_image& record;
  const manifest& m;
  const std::string& printed;
};

// Extracts the package of `setup`, not quiet, and returns what `check` makes
// of the outcome. Run it in a child changed into a scratch root.
std::string extract_then(const extract_setup& setup, const std::function<std::string(const extract_outcome&)>& check) {
  std::string file = whole_file(part(part_package_header, header_payload("demo", 0x01006600, 0, 0)) +
                                part(part_files, setup.container) + part(part_signature, std::string(68, 0)));
  std::stringbuf source(file, std::ios_base::in);
  pkg_stream stream(&source, true);
  stream.wanted_types = {part_package_header, part_files};
  pkg_repo repository;
  char* printed = nullptr;
  size_t printed_size = 0;
  repository.out = open_memstream(&printed, &printed_size);
  pkg_image record;
  stream.next_part();
  if (!read_package_header(record, stream) || stream.type() != part_files) return "bad test package";
  record.disabled = setup.disabled;
  manifest m;
  bool ok = extract_files(repository, record, m, stream);
  std::fclose(repository.out);
  std::string output(printed, printed_size);
  std::free(printed);
  return check({ok, repository, record, m, output});
}

// Describes the outcome: the result, each message, each path in `files`,
// and each staged file's mode and content.
std::string extract_report(const extract_setup& setup) {
  return extract_then(setup, [](const extract_outcome& done) {
    std::string report = done.ok ? "true\n" : "false\n";
    for (const std::string& message : done.repository.messages) report += "message " + message + "\n";
    for (const std::string& path : done.record.files) report += "file " + path + "\n";
    for (const auto& [target, op] : done.m.ops) {
      struct stat info;
      stat(op.source.c_str(), &info);
      char mode[16];
      std::snprintf(mode, sizeof mode, "%o", info.st_mode & 07777);
      std::string content = read_file(op.source);
      if (content.size() > 40) content = std::to_string(content.size()) + " bytes";
      report += "staged " + target + " " + mode + " \"" + content + "\"\n";
    }
    return report;
  });
}

std::string container(const std::vector<file_entry>& entries) {
  return pkgbuild::zlib_compress(pkgbuild::container_content(entries));
}

class extract : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!can_chroot(&why)) GTEST_SKIP() << why;
  }
  std::string run(const extract_setup& setup) {
    return run_in_root(root_.path(), [&] { return extract_report(setup); });
  }
  scratch_root root_;
};

TEST_F(extract, containers_and_their_outcomes) {
  std::string two_files = pkgbuild::container_content({{regular, 0, "a", "1"}, {regular, 0, "b", "22"}});
  struct row {
    const char* what;
    extract_setup setup;
    std::string expected;
  } rows[] = {
      {"a stream that inflates to nothing", {pkgbuild::zlib_compress("")}, "true\n"},
      {"a zero-length file is staged and listed",
       {container({{regular, 0, "etc/empty", ""}})},
       "true\nfile /flash/etc/empty\nstaged /flash/etc/empty 644 \"\"\n"},
      {"links and directories are skipped with their data",
       {container({{directory, 0, "etc", ""}, {symlink_mode, 0, "etc/l", "target"}, {0100755, 0, "etc/x", "data"}})},
       "true\nfile /flash/etc/x\nstaged /flash/etc/x 755 \"data\"\n"},
      {"leading slash, repeated slashes and '.' components name the same target",
       {container({{regular, 0, "/etc/a", "1"}, {regular, 0, "etc//./b", "2"}, {regular, 0, "./c", "3"}})},
       "true\nfile /flash/c\nfile /flash/etc/a\nfile /flash/etc/b\n"
       "staged /flash/c 644 \"3\"\nstaged /flash/etc/a 644 \"1\"\nstaged /flash/etc/b 644 \"2\"\n"},
      {"a disabled package writes below /flash/x/<name>",
       {container({{regular, 0, "bin/x", "x"}}), true},
       "true\nfile /flash/x/demo/bin/x\nstaged /flash/x/demo/bin/x 644 \"x\"\n"},
      {"an entry header cut after 10 bytes ends the container",
       {pkgbuild::zlib_compress(two_files.substr(0, 31 + 10))},
       "true\nfile /flash/a\nstaged /flash/a 644 \"1\"\n"},
      {"entry data cut short is a broken package",
       {pkgbuild::zlib_compress(two_files.substr(0, two_files.size() - 1))},
       "false\nmessage ERROR: installation of demo-1.0 failed: broken package\nfile /flash/a\nfile /flash/b\n"
       "staged /flash/a 644 \"1\"\nstaged /flash/b 644 \"\"\n"},
      {"an entry name cut short is a broken package",
       {pkgbuild::zlib_compress(two_files.substr(0, 31 + 31))},
       "false\nmessage ERROR: installation of demo-1.0 failed: broken package\nfile /flash/a\n"
       "staged /flash/a 644 \"1\"\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(r.expected, run(r.setup));
  }
}

// A zlib error inside an entry's data is a broken package; at an entry
// boundary it ends the container like its end would.
TEST_F(extract, corrupt_compressed_data) {
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 11);
  std::string inside = container({{regular, 0, "big", data}});
  inside[inside.size() / 2] ^= 0x55;
  inside[inside.size() / 2 + 1] ^= 0x55;
  std::string report = run({inside});
  EXPECT_EQ(0u, report.find("false\nmessage ERROR: installation of demo-1.0 failed: broken package\n"
                            "file /flash/big\nstaged /flash/big 644 \""))
      << report;
  // Cut the stream right after the first entry and append garbage.
  std::string first = pkgbuild::container_content({{regular, 0, "a", "1"}});
  z_stream z{};
  ASSERT_EQ(Z_OK, deflateInit(&z, 6));
  char out[1024];
  z.next_in = reinterpret_cast<Bytef*>(first.data());
  z.avail_in = static_cast<uInt>(first.size());
  z.next_out = reinterpret_cast<Bytef*>(out);
  z.avail_out = sizeof out;
  deflate(&z, Z_FULL_FLUSH);
  std::string boundary(out, sizeof out - z.avail_out);
  deflateEnd(&z);
  boundary += std::string(16, '\xff');
  EXPECT_EQ("true\nfile /flash/a\nstaged /flash/a 644 \"1\"\n", run({boundary}));
}

// Entry data is written straight from the inflated bytes: files that start,
// end or lie across the boundaries of the inflater's buffers, next to empty
// and one-byte files, must arrive byte for byte.
TEST_F(extract, contents_across_buffer_boundaries_arrive_whole) {
  std::vector<file_entry> entries;
  size_t number = 0;
  for (size_t size : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{7},
                      size_t{131073}, size_t{262145}, size_t{300000}, size_t{1}}) {
    // Runs of repeats between random bytes: compressible, but not trivially.
    std::string data = installtest::noise(size, static_cast<uint32_t>(number));
    for (size_t i = 0; i < size; i += 4) data[i] = static_cast<char>('a' + number);
    entries.push_back({regular, 0, "f" + std::to_string(number++), data});
  }
  std::string report = run_in_root(root_.path(), [&] {
    return extract_then({container(entries)}, [&](const extract_outcome& done) {
      if (!done.ok) return std::string("extraction failed");
      std::string result;
      for (const file_entry& entry : entries) {
        auto op = done.m.ops.find("/flash/" + entry.name);
        if (op == done.m.ops.end()) result += entry.name + " not staged\n";
        else if (read_file(op->second.source) != entry.data) result += entry.name + " differs\n";
      }
      return result.empty() ? std::string("all whole") : result;
    });
  });
  EXPECT_EQ("all whole", report);
}

// The bar follows the files as they are written: the package reader reads
// ahead in large blocks, and a bar drawn from what it read would be full
// after the first of several small files.
TEST_F(extract, progress_follows_the_files_written) {
  std::vector<file_entry> entries;
  for (int i = 0; i < 8; ++i) entries.push_back({regular, 0, "f" + std::to_string(i), installtest::noise(6000, i + 1)});
  std::string report = run_in_root(root_.path(), [&] {
    return extract_then({container(entries)}, [](const extract_outcome& done) {
      std::string bars;
      const std::string& out = done.printed;
      for (size_t at = out.find("[#"); done.ok && at != std::string::npos; at = out.find("[#", at + 1))
        bars += std::to_string(out.find_first_not_of('#', at + 1) - at - 1) + " ";
      return done.ok ? bars : std::string("extraction failed");
    });
  });
  // One bar per file whose count of "#" changed, growing to the last.
  std::istringstream counts(report);
  std::vector<int> filled;
  for (int n; counts >> n;) filled.push_back(n);
  ASSERT_GE(filled.size(), 6u) << report;
  EXPECT_TRUE(std::is_sorted(filled.begin(), filled.end())) << report;
  EXPECT_LT(filled.front(), filled.back() / 4) << report;
}

// Names that would leave the package's tree, garble the database or name a
// directory make the package broken; nothing is staged for them.
TEST_F(extract, refused_entry_names) {
  const std::string refused[] = {"../x", "etc/../../x", "a/..", "..", std::string("a\0b", 3), "a\x01",
                                 "tab\tname", "del\x7f", "", ".", "/", "etc/", "etc/.", "//", "./"};
  for (const std::string& name : refused) {
    SCOPED_TRACE(testing::PrintToString(name));
    EXPECT_EQ("false\nmessage ERROR: installation of demo-1.0 failed: broken package\n",
              run({container({{regular, 0, name, "evil"}})}));
  }
  // A refused name stops extraction: later entries are not written.
  EXPECT_EQ("false\nmessage ERROR: installation of demo-1.0 failed: broken package\nfile /flash/ok\n"
            "staged /flash/ok 644 \"1\"\n",
            run({container({{regular, 0, "ok", "1"}, {regular, 0, "../up", "2"}, {regular, 0, "late", "3"}})}));
  // Skipped entries are not judged by their names.
  EXPECT_EQ("true\nfile /flash/ok\nstaged /flash/ok 644 \"1\"\n",
            run({container({{directory, 0, "etc/", ""}, {symlink_mode, 0, "../l", "x"}, {regular, 0, "ok", "1"}})}));
}

// Empty stored blocks between entries give inflate passes that produce no
// byte; extraction must carry on to the later entries.
TEST_F(extract, passes_that_produce_nothing_do_not_end_the_data) {
  std::string first = pkgbuild::container_content({{regular, 0, "first", "1"}});
  std::string second = pkgbuild::container_content({{regular, 0, "second", "2"}});
  z_stream z{};
  ASSERT_EQ(Z_OK, deflateInit(&z, 6));
  std::string compressed;
  auto feed = [&](const std::string& data, int flush) {
    char out[65536];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    do {
      z.next_out = reinterpret_cast<Bytef*>(out);
      z.avail_out = sizeof out;
      deflate(&z, flush);
      compressed.append(out, sizeof out - z.avail_out);
    } while (z.avail_out == 0);
  };
  feed(first, Z_SYNC_FLUSH);
  // After a sync flush the data is byte-aligned, so whole empty stored
  // blocks (header byte, LEN 0, NLEN 0xFFFF) may follow: 3000 of them fill
  // several 4096-byte input buffers that inflate to nothing.
  for (int i = 0; i < 3000; ++i) compressed += std::string("\x00\x00\x00\xff\xff", 5);
  feed(second, Z_FINISH);
  deflateEnd(&z);
  ASSERT_GT(compressed.size(), 3 * 4096u);
  EXPECT_EQ("true\nfile /flash/first\nfile /flash/second\n"
            "staged /flash/first 644 \"1\"\nstaged /flash/second 644 \"2\"\n",
            run({compressed}));
}

// Processor variants: the class comes from the register line of
// /proc/cpuinfo and, for two register values, from the board query.
TEST_F(extract, processor_variants_follow_the_processor_class) {
  std::string files = container({{regular, 1, "lib/v", "one"},
                                 {regular, 2, "lib/v", "two"},
                                 {regular, 3, "lib/v", "three"},
                                 {regular, 4, "lib/v", "four"},
                                 {regular, 0, "common", "all"}});
  struct row {
    const char* cpuinfo;
    const char* flash;  // nullptr: no /dev/flash
    const char* expected_variant;  // nullptr: no variant written
  } rows[] = {
      {"processor : 0\npvr : 0x00840010\n", nullptr, "one"},
      {"pvr : 0x00200100\n", nullptr, "two"},
      {"pvr : 0x80211042\n", "board-flags 0x10\n", "two"},
      {"pvr : 0x13020000\n", nullptr, "three"},
      {"pvr : 0x80212155\n", "board-flags 0\n", "four"},
      {"pvr : 0x80211000\n", nullptr, "four"},
      {"pvr : 0x12340000\n", nullptr, nullptr},
      {"model name : something else\n", nullptr, nullptr},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.cpuinfo);
    root_.write("/proc/cpuinfo", r.cpuinfo);
    ::remove((root_.path() + "/dev/flash").c_str());
    if (r.flash) root_.write("/dev/flash", r.flash);
    std::string expected = "true\nfile /flash/common\n";
    if (r.expected_variant) expected += "file /flash/lib/v\n";
    expected += "staged /flash/common 644 \"all\"\n";
    if (r.expected_variant) expected += std::string("staged /flash/lib/v 644 \"") + r.expected_variant + "\"\n";
    EXPECT_EQ(expected, run({files}));
  }
}

// A full disk while writing a staged file is reported as such.
TEST_F(extract, full_disk_is_reported) {
  std::string big(512 * 1024, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
  extract_setup setup{container({{regular, 0, "big", big}})};
  std::string flash = root_.path() + "/flash", ram = root_.path() + "/ram";
  std::string report = run_in_root(
      root_.path(), [&] { return extract_report(setup); },
      [&] {
        return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", flash.c_str(), "tmpfs", 0, "size=128k") == 0 &&
               mount("tmpfs", ram.c_str(), "tmpfs", 0, "size=128k") == 0;
      });
  if (report == "setup failed") GTEST_SKIP() << "no private mount namespace with tmpfs here";
  EXPECT_EQ(0u, report.find("false\nmessage ERROR: installation of demo-1.0 failed: disk is too small\n"))
      << report;
}

// The progress bar, drawn without a root change.
TEST(extract_progress, bar_is_bounded_and_computed_in_64_bits) {
  struct row {
    const char* what;
    uint32_t length_field;
    size_t payload;  // bytes of the part, all consumed before drawing
    size_t filled;
  } rows[] = {
      // The total, 2^32, would wrap to 0 in 32 bits and divide by zero.
      {"a declared length of 0xFFFFFFF8", 0xFFFFFFF8u, 0, 0},
      // The total is 8, the position 114: the bar stops at its width.
      {"a declared length of 0", 0, 100, 55},
      {"exactly the declared length fills the bar", 6 + 100, 100, 55},
      {"half way, truncated", 2 * (8 + 6 + 100) - 8, 100, 27},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::string file = pkgbuild::file_header(pkg_magic_primary, r.length_field) + part(part_files, std::string(r.payload, 'p'));
    std::stringbuf source(file, std::ios_base::in);
    pkg_stream stream(&source, false);
    stream.wanted_types = {part_files};
    ASSERT_EQ(part_files, stream.next_part());
    stream.ignore(static_cast<std::streamsize>(r.payload));
    pkg_repo repository;
    char* printed = nullptr;
    size_t printed_size = 0;
    repository.out = open_memstream(&printed, &printed_size);
    pkg_image record("demo");
    record.version = 0x01006600;
    show_install_progress(repository, record, stream);
    std::string prefix = "installing demo-1.0 [";
    size_t width = 76 - prefix.size();
    size_t filled = r.filled;
    EXPECT_EQ(prefix + std::string(filled, '#') + std::string(width - filled, ' ') + "]",
              repository.progress_line);
    EXPECT_EQ(77u, repository.progress_line.size());
    std::fclose(repository.out);
    std::free(printed);
  }
}

TEST(extract_progress, input_longer_than_declared_never_overfills) {
  std::string file = pkgbuild::file_header(pkg_magic_primary, 10) + part(part_files, std::string(1000, 'p'));
  std::stringbuf source(file, std::ios_base::in);
  pkg_stream stream(&source, false);
  stream.wanted_types = {part_files};
  ASSERT_EQ(part_files, stream.next_part());
  stream.ignore(1000);
  pkg_repo repository;
  repository.quiet = false;
  char* printed = nullptr;
  size_t printed_size = 0;
  repository.out = open_memstream(&printed, &printed_size);
  pkg_image record("demo");
  record.version = 0x01006600;
  record.disabled = true;
  show_install_progress(repository, record, stream);
  std::string prefix = "installing  (disabled) demo-1.0 [";
  EXPECT_EQ(prefix + std::string(76 - prefix.size(), '#') + "]", repository.progress_line);
  std::fclose(repository.out);
  std::free(printed);
}

}  // namespace
