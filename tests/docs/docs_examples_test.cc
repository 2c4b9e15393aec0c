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
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/scenario.h"

namespace e2e {
namespace {

struct example {
  std::string where;  // file and line
  std::string script;
};

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool starts_a_command(const std::string& line) {
  std::string word = line.substr(line.find_first_not_of(' ') == std::string::npos ? 0 : line.find_first_not_of(' '));
  for (const char* program : {"installer ", "mkpkg ", "build/installer ", "build/mkpkg "})
    if (word.rfind(program, 0) == 0) return true;
  return false;
}

// Markdown: fenced "sh" blocks are examples; *unrun collects the lines of
// other blocks that look like commands of the programs.
std::vector<example> markdown_examples(const std::string& name, std::vector<std::string>* unrun) {
  std::vector<example> found;
  std::vector<std::string> lines = lines_of(read_text(testsupport::source_dir() + "/" + name));
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.rfind("```", 0) == 0) {
      bool runs = line == "```sh";
      example block{name + ":" + std::to_string(i + 1), {}};
      for (++i; i < lines.size() && lines[i].rfind("```", 0) != 0; ++i) {
        block.script += lines[i] + "\n";
        if (!runs && starts_a_command(lines[i]) && lines[i].find('[') == std::string::npos)
          unrun->push_back(name + ":" + std::to_string(i + 1) + ": " + lines[i]);
      }
      if (runs) found.push_back(block);
    } else if (line.rfind("    ", 0) == 0 && starts_a_command(line) && line.find('[') == std::string::npos) {
      unrun->push_back(name + ":" + std::to_string(i + 1) + ": " + line);
    }
  }
  return found;
}

// The roff escapes the examples use, turned back into the shell's text.
std::string unroff(std::string line) {
  const std::pair<std::string, std::string> escapes[] = {
      {"\\-", "-"}, {"\\e", "\\"}, {"\\(aq", "'"}, {"\\(dq", "\""}, {"\\(ti", "~"}, {"\\&", ""}};
  for (const auto& [coded, plain] : escapes)
    for (size_t at; (at = line.find(coded)) != std::string::npos;) line.replace(at, coded.size(), plain);
  return line;
}

std::vector<example> man_examples(const std::string& name) {
  std::vector<example> found;
  std::vector<std::string> lines = lines_of(read_text(testsupport::source_dir() + "/" + name));
  bool in_examples = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(".SH", 0) == 0) in_examples = lines[i] == ".SH EXAMPLES";
    if (!in_examples || lines[i] != ".EX") continue;
    example block{name + ":" + std::to_string(i + 1), {}};
    for (++i; i < lines.size() && lines[i] != ".EE"; ++i) block.script += unroff(lines[i]) + "\n";
    found.push_back(block);
  }
  return found;
}

// Builds the files the examples name, in the scratch directory `work`.
const char* const fixtures = R"(set -e
src=$1 build=$2 work=$3
cd "$work"
mkdir -p bin
ln -s "$build/installer" bin/installer
ln -s "$build/mkpkg" bin/mkpkg
mkdir -p build keys
ln -s "$build/installer" build/installer
ln -s "$build/mkpkg" build/mkpkg
ln -s "$src/tools" tools
cp "$src/keys/test.keys" keys/test.keys
cp "$src/keys/test.keys" my.keys
printf '#!/bin/sh\necho tool\n' > tool
printf 'kernel' > kernel.bin
printf 'fast' > fast.so
mkdir -p root/bin && cp tool root/bin/tool
for name in wireless routing; do
  mkdir -p "pkg-$name/bin" && printf '%s\n' "$name" > "pkg-$name/bin/$name"
  bin/mkpkg build -o "$name-7.2.npk" --name "$name" --version 7.2 --keys my.keys "pkg-$name"
done
mkdir -p pkg-system/bin && printf 'system\n' > pkg-system/bin/system
bin/mkpkg build -o system-7.2.npk --name system --version 7.2 --arch mipsbe --digest sha256 \
  --keys my.keys pkg-system
rm -rf pkg-wireless pkg-routing pkg-system
)";

using DocExamples = Scenarios;

// Runs one example in the sandbox with the fixtures; its result.
run_result run_example(const example& e) {
  device_root root;
  std::string work = root.at("/work");
  root.make_dirs("/work");
  std::string build = testsupport::installer_path();
  build = build.substr(0, build.rfind('/'));
  std::string script = std::string(fixtures) + "export PATH=\"$work/bin:$PATH\"\nexec 2>&1\n" + e.script;
  return testsupport::run_in(root, {"/bin/bash", "-c", script, "example", testsupport::source_dir(), build, work});
}

// The examples of one file as one script, each block after a comment that
// says where it stands.
example session_of(const std::string& name, const std::vector<example>& blocks) {
  example session{name, {}};
  for (const example& block : blocks) session.script += "# " + block.where + "\n" + block.script;
  return session;
}

TEST_F(DocExamples, EveryExampleRuns) {
  std::vector<std::string> unrun;
  std::vector<example> sessions;
  size_t blocks = 0;
  for (const char* name : {"README.md", "doc/demo.md", "doc/key-file.md", "doc/package-format.md",
                           "doc/man/installer.8", "doc/man/mkpkg.1"}) {
    std::string file = name;
    std::vector<example> found =
        file.rfind(".md") == file.size() - 3 ? markdown_examples(file, &unrun) : man_examples(file);
    blocks += found.size();
    if (!found.empty()) sessions.push_back(session_of(file, found));
  }
  EXPECT_EQ(unrun, std::vector<std::string>{}) << "commands in blocks that are not run";
  EXPECT_GE(blocks, 9u);
  for (const example& e : sessions) {
    SCOPED_TRACE(e.where);
    run_result result = run_example(e);
    EXPECT_EQ(result.status, 0) << e.script << "--- printed:\n" << result.out << result.err;
  }
}

}  // namespace
}  // namespace e2e
