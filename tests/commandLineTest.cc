#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>

#include "cli/tLongOptions.h"
#include "persistentStorage/tFileSystemAdapter.h"
#include "testSupport.h"
#include "tool/tCommandLine.h"

namespace nDRAVI100 {
namespace {

using enum tCommandKind;

using Args = std::vector<std::string>;

struct Expected {
  Expected(tCommandKind kindValue, tMapScope scopeValue = 0, std::string file = "",
           std::string klass = "", std::string library = "", std::int32_t x64Value = 0)
      : kind(kindValue),
        scope(scopeValue),
        filePath(std::move(file)),
        className(std::move(klass)),
        libraryName(std::move(library)),
        x64(x64Value) {}
  tCommandKind kind;
  tMapScope scope;
  std::string filePath;
  std::string className;
  std::string libraryName;
  std::int32_t x64;
};

void expectParse(const Args& words, const Expected& expected) {
  Args arguments{"zembril"};
  arguments.insert(arguments.end(), words.begin(), words.end());
  const Args before = arguments;
  tCommandRequest request;
  tStatus status = 0;
  parseCommandLine(request, arguments, status);
  std::string shown;
  for (const auto& word : words) shown += "[" + word + "]";
  EXPECT_EQ(request.getKind(status), expected.kind) << shown;
  EXPECT_EQ(status, expected.kind == None ? -88361 : 0) << shown;
  EXPECT_EQ(request.getScope(status), expected.scope) << shown;
  EXPECT_EQ(request.getFilePath(status), expected.filePath) << shown;
  EXPECT_EQ(request.getClassName(status), expected.className) << shown;
  EXPECT_EQ(request.getLibraryName(status), expected.libraryName) << shown;
  EXPECT_EQ(request.getX64(status), expected.x64) << shown;
  EXPECT_EQ(arguments, before) << "the caller's list must not change";
}

TEST(CommandLine, Grammar) {
  struct Case {
    Args words;
    Expected expected;
  } cases[] = {
      // Accepted forms, each scope switch in both cases.
      {{"/U", "/list"}, {List, 0}},
      {{"/u", "/reset"}, {Reset, 0}},
      {{"/K", "/delete", "C"}, {Delete, 1, "", "C"}},
      {{"/k", "/lookup", "C"}, {Lookup, 1, "", "C"}},
      {{"/S", "/deletelib", "L"}, {DeleteLib, 2, "", "", "L"}},
      {{"/s", "/lookuplib", "L"}, {LookupLib, 2, "", "", "L"}},
      {{"/U", "/add", "C", "L"}, {Add, 0, "", "C", "L"}},
      {{"/U", "/add", "C", "L", "extra"}, {Add, 0, "", "C", "L"}},
      {{"/U", "/add", "", ""}, {Add, 0, "", "", ""}},
      {{"/file", "f"}, {File, 0, "f"}},
      {{"/file", "f", "a", "b", "c"}, {File, 0, "f"}},
      {{"/x64", "/file", "f"}, {File, 0, "f", "", "", 1}},
      {{"/x64", "/U", "/add", "C", "L"}, {Add, 0, "", "C", "L", 1}},
      {{"/x64", "/K", "/list"}, {List, 1, "", "", "", 1}},
      // "/x64" is an ordinary string where a name is expected.
      {{"/U", "/add", "/x64", "/x64"}, {Add, 0, "", "/x64", "/x64"}},
      {{"/U", "/delete", "/file"}, {Delete, 0, "", "/file"}},
      // Usage errors. Fields set before the error keep their values.
      {{}, {None}},
      {{"/U"}, {None}},
      {{"/U", "/add", "C", "L", "x", "y"}, {None}},
      // The count is checked before "/x64" is looked at.
      {{"/x64", "/U", "/add", "C", "L", "x"}, {None}},
      {{"/x64", "/U"}, {None, 0, "", "", "", 1}},
      {{"/x64", "/file"}, {None, 0, "", "", "", 1}},
      {{"/x64", "/x64", "/U", "/list"}, {None, 0, "", "", "", 1}},
      {{"/U", "/x64", "/list"}, {None}},
      {{"/U", "/list", "/x64"}, {None}},
      {{"/U", "/file", "f"}, {None}},
      {{"/X", "/list"}, {None}},
      {{"/UK", "/list"}, {None}},
      {{"U", "/list"}, {None}},
      {{"-U", "/list"}, {None}},
      {{"xK", "/list"}, {None}},
      {{"/X64", "/U", "/list"}, {None}},
      {{"/FILE", "f"}, {None}},
      {{"/K", "/LIST"}, {None, 1}},
      {{"/K", "/list", "x"}, {None, 1}},
      {{"/S", "/add", "C"}, {None, 2}},
      {{"/U", "/delete"}, {None}},
      {{"/U", "/reset", "x", "y"}, {None}},
      {{"/U", "/lookup", "C", "x"}, {None}},
  };
  for (const Case& c : cases) expectParse(c.words, c.expected);
}

// "/root DIR" comes first and is taken away before the grammar counts; a
// bad one changes no root.
TEST(CommandLine, RootSwitch) {
  const std::string unchanged = "unchanged";
  const testing::tScratchTree image;
  const std::string& img = image.root();
  const std::string file = image.mapDirectory() + "/dravimap";
  testing::writeFile(file, "");
  struct Case {
    Args words;
    tCommandKind kind;
    std::string root;
  } cases[] = {
      {{"/root", img, "/U", "/list"}, List, img},
      {{"/root", img + "//", "/x64", "/U", "/add", "C", "L"}, Add, img},
      {{"/root", "/", "/file", "f"}, File, ""},
      {{"/root", img, "/x64", "/U", "/add", "C", "L", "x"}, None, img},
      {{"/U", "/add", "/root", img}, Add, unchanged},
      {{"/root", img, "/root", "/b", "/U", "/list"}, None, img},
      {{"/x64", "/root", img, "/U", "/list"}, None, unchanged},
      {{"/root"}, None, unchanged},
      {{"/root", "", "/U", "/list"}, None, unchanged},
      {{"/root", "img", "/U", "/list"}, None, unchanged},
      {{"/root", unchanged + "/missing", "/U", "/list"}, None, unchanged},
      {{"/root", file, "/U", "/list"}, None, unchanged},
  };
  for (const Case& c : cases) {
    std::string root = unchanged;
    Args arguments{"zembril"};
    arguments.insert(arguments.end(), c.words.begin(), c.words.end());
    tCommandRequest request;
    tStatus status = 0;
    takeRootSwitch(arguments, root, status);
    parseCommandLine(request, arguments, status);
    EXPECT_EQ(request.getKind(status), c.kind) << c.words.size();
    EXPECT_EQ(status, c.kind == None ? -88361 : 0) << c.words.size();
    EXPECT_EQ(root, c.root) << c.words.size();
  }
}

// What each program says of a root it cannot use, in the system's words; a
// link to a directory is the directory, as it is to a chroot.
TEST(CommandLine, WhatIsWrongWithARoot) {
  const testing::tScratchTree tree;
  const std::string directory = tree.root() + "/dir";
  const std::string file = tree.root() + "/file";
  const std::string link = tree.root() + "/link";
  std::filesystem::create_directory(directory);
  testing::writeFile(file, "");
  ASSERT_EQ(::symlink(directory.c_str(), link.c_str()), 0);
  const struct {
    std::string root;
    std::string problem;
  } cases[] = {
      {directory, ""},
      {link, ""},
      {"relative/dir", "not an absolute path"},
      {tree.root() + "/missing", std::strerror(ENOENT)},
      {file, std::strerror(ENOTDIR)},
      {file + "/below", std::strerror(ENOTDIR)},
  };
  for (const auto& c : cases) EXPECT_EQ(rootProblem(c.root), c.problem) << c.root;
}

// zembril-dump and zembril-sync answer the first of --help and --version
// whatever else the line holds, mistakes included; after "--" it is an
// operand, which answers nothing.
TEST(CommandLine, HelpAndVersionWinInBothCompanions) {
  const testing::tScratchTree tree;
  enum tAnswer { help, version, none };
  const struct {
    Args arguments;
    tAnswer answer;
  } cases[] = {
      {{"--help"}, help},
      {{"--version"}, version},
      {{"--version", "--help"}, version},
      {{"--help", "--version"}, help},
      {{"--frobnicate", "--version"}, version},
      {{"--vers", "extra", "--he"}, version},
      {{"--root=relative", "--help"}, help},
      {{"--root=" + tree.root() + "/missing", "--version"}, version},
      {{"--", "--help"}, none},
  };
  for (const char* program : {ZEMBRIL_DUMP_BINARY, ZEMBRIL_SYNC_BINARY}) {
    const std::string name = std::filesystem::path(program).filename();
    for (const auto& c : cases) {
      Args command = {"sh", "-c", "exec \"$@\" 2>&1", "sh", program};
      command.insert(command.end(), c.arguments.begin(), c.arguments.end());
      const testing::tRunResult run = testing::runCommand(command);
      const std::string trace = name + " " + c.arguments.front() + " " + c.arguments.back();
      EXPECT_EQ(run.exitStatus, c.answer == none ? 2 : 0) << trace;
      if (c.answer == help) {
        EXPECT_TRUE(run.output.starts_with("Usage: " + name + " [")) << trace << run.output;
        EXPECT_TRUE(run.output.ends_with("Full documentation: man " + name + "\n")) << trace;
      } else if (c.answer == version) {
        EXPECT_TRUE(std::regex_match(run.output, std::regex(name + " \\(zembril\\) [0-9.]+\n")))
            << trace << run.output;
      }
    }
  }
}

TEST(CommandLine, ErrorOnEntryLeavesInitialRequest) {
  tCommandRequest request;
  tStatus status = -50204;
  parseCommandLine(request, {"zembril", "/x64", "/U", "/add", "C", "L"}, status);
  EXPECT_EQ(status, -50204);
  EXPECT_EQ(request.getKind(status), None);
  EXPECT_EQ(request.getX64(status), 0);
}

TEST(CommandLine, ReparseStartsFromInitialState) {
  tCommandRequest request;
  tStatus status = 0;
  parseCommandLine(request, {"zembril", "/x64", "/K", "/add", "C", "L"}, status);
  parseCommandLine(request, {"zembril", "/U", "/list"}, status);
  EXPECT_EQ(request.getKind(status), List);
  EXPECT_EQ(request.getX64(status), 0);
  EXPECT_EQ(request.getClassName(status), "");
}

TEST(CommandRequest, SettersDoNothingAfterAnError) {
  tCommandRequest request;
  tStatus status = -1;
  request.setKind(Add, status);
  request.setClassName("C", status);
  EXPECT_EQ(request.getKind(status), None);
  EXPECT_EQ(request.getClassName(status), "");
  EXPECT_EQ(status, -1);
  status = 88360;  // a warning stops nothing
  request.setLibraryName("L", status);
  EXPECT_EQ(request.getLibraryName(status), "L");
  EXPECT_EQ(status, 88360);
}

}  // namespace
}  // namespace nDRAVI100
