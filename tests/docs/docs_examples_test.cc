// The documentation's examples, run: every example command of README.md,
// doc/*.md and the manual pages runs as a shell script inside the test
// runner's private namespace, on a fresh device root at "/flash", "/rw" and
// "/ram", and must succeed, so that an example can never contradict the
// programs.
//
// Which blocks are examples:
//  - Markdown: fenced blocks tagged "sh". Any other block (indented, or
//    fenced otherwise) that starts a line with installer or mkpkg must be a
//    synopsis (it shows "[" options), or the test fails: an example that is
//    not run could go stale unseen.
//  - Manual pages: every .EX/.EE block of the EXAMPLES section.
//
// The examples of one file run in order, as one session (as a reader would
// try them), with `set -e`, in a scratch directory that holds what the
// examples name: "installer" and "mkpkg" on the PATH (the built programs),
// "build/", "tools/" and "keys/" of the source tree, the key file
// "my.keys", the files "tool", "kernel.bin" and "fast.so", and the signed
// packages "wireless-7.2.npk", "routing-7.2.npk" and "system-7.2.npk"
// (built for mipsbe, over a SHA-256 digest), and the tree "root/bin/tool".
#include <algorithm>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/scenario.h"

namespace e2e {
namespace {

using DocExamples = Scenarios;

// The roff escapes the examples use, turned back into the shell's text.
std::string unroff(std::string line) {
  const std::pair<std::string, std::string> escapes[] = {
      {"\\-", "-"}, {"\\e", "\\"}, {"\\(aq", "'"}, {"\\(dq", "\""}, {"\\(ti", "~"}, {"\\&", ""}};
  for (const auto& [coded, plain] : escapes)
    for (size_t at; (at = line.find(coded)) != std::string::npos;) line.replace(at, coded.size(), plain);
  return line;
}

// A command line of the programs that is no synopsis: "installer ..." or
// "mkpkg ..." (after blanks and "build/"), without "[".
bool is_command(std::string_view line) {
  line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
  if (line.starts_with("build/")) line.remove_prefix(6);
  return (line.starts_with("installer ") || line.starts_with("mkpkg ")) && line.find('[') == std::string_view::npos;
}

// The examples of one file as one script, each block after a comment that
// says where it stands; *unrun collects command lines of blocks not run
// that are no synopsis.
std::string examples_of(const std::string& name, std::vector<std::string>* unrun, size_t* blocks) {
  std::ifstream in(testsupport::source_dir() + "/" + name);
  bool man = !name.ends_with(".md"), in_examples = false, in_block = false, runs = false;
  std::string script;
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    std::string where = name + ":" + std::to_string(++number);
    if (man && line.rfind(".SH", 0) == 0) in_examples = line == ".SH EXAMPLES";
    if (man ? in_examples && line == (in_block ? ".EE" : ".EX") : line.rfind("```", 0) == 0) {
      in_block = !in_block;
      runs = man || line == "```sh";
      if (in_block && runs) script += "# " + where + "\n", ++*blocks;
    } else if (in_block && runs) {
      script += (man ? unroff(line) : line) + "\n";
    } else if (!man && (in_block || line.rfind("    ", 0) == 0) && is_command(line)) {
      unrun->push_back(where + ": " + line);
    }
  }
  return script;
}

// Builds the files the examples name, in the scratch directory `work`.
const char* const fixtures = R"(set -e
src=$1 build=$2 work=$3 && cd "$work"
mkdir -p bin build keys root/bin
for program in installer mkpkg; do ln -s "$build/$program" bin/; ln -s "$build/$program" build/; done
ln -s "$src/tools" tools && cp "$src/keys/test.keys" keys/ && cp keys/test.keys my.keys
printf '#!/bin/sh\necho tool\n' > tool && cp tool root/bin/tool && printf kernel > kernel.bin && printf fast > fast.so
for name in wireless routing system; do
  mkdir -p "pkg-$name/bin" && printf '%s\n' "$name" > "pkg-$name/bin/$name"
  extra=; if [ "$name" = system ]; then extra="--arch mipsbe --digest sha256"; fi
  bin/mkpkg build -o "$name-7.2.npk" --name "$name" --version 7.2 $extra --keys my.keys "pkg-$name"
  rm -r "pkg-$name"
done
)";

TEST_F(DocExamples, EveryExampleRuns) {
  std::vector<std::string> unrun;
  size_t blocks = 0;
  const std::string program = testsupport::installer_path(), build = program.substr(0, program.rfind('/'));
  for (const char* name : {"README.md", "doc/demo.md", "doc/key-file.md", "doc/package-format.md",
                           "doc/man/installer.8", "doc/man/mkpkg.1"}) {
    std::string script = examples_of(name, &unrun, &blocks);
    if (script.empty()) continue;
    SCOPED_TRACE(name);
    device_root root;  // its own /tmp is the scratch directory
    std::string session = std::string(fixtures) + "export PATH=\"$work/bin:$PATH\"\nexec 2>&1\n" + script;
    run_result result = testsupport::run_in(
        root, {"/bin/bash", "-c", session, "example", testsupport::source_dir(), build, root.at("/tmp")});
    EXPECT_EQ(result.status, 0) << script << "--- printed:\n" << result.out << result.err;
  }
  EXPECT_EQ(unrun, std::vector<std::string>{}) << "commands in blocks that are not run";
  EXPECT_GE(blocks, 9u);
}

}  // namespace
}  // namespace e2e
