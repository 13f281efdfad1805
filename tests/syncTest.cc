// zembril-sync on a private root: declared bindings come and go with their
// declarations, every other binding stays, and a run killed anywhere is
// finished by the next.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "sync/tDeclarations.h"
#include "testSupport.h"

namespace nDRAVI100 {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::runTool;
using testing::tRunResult;
using testing::tScratchTree;
using testing::writeFile;

using Args = std::vector<std::string>;
using tFiles = std::map<std::string, std::string>;  // declaration files: package name, content

std::string declarationsOf(const tScratchTree& tree) {
  return tree.root() + "/usr/share/zembril/declarations";
}

// Makes the declaration directory hold exactly `files`.
void declare(const tScratchTree& tree, const tFiles& files) {
  std::filesystem::remove_all(declarationsOf(tree));
  std::filesystem::create_directories(declarationsOf(tree));
  for (const auto& [package, content] : files)
    writeFile(declarationsOf(tree) + "/" + package, content);
}

// Runs zembril-sync on `tree`, its standard error in the output.
tRunResult sync(const tScratchTree& tree, const Args& wrapper = {}) {
  Args command = {"sh", "-c", "exec \"$@\" 2>&1", "sh"};
  command.insert(command.end(), wrapper.begin(), wrapper.end());
  command.insert(command.end(), {ZEMBRIL_SYNC_BINARY, "--root=" + tree.root()});
  return runCommand(command);
}

// The 64-bit map as zembril-dump shows it.
std::string map64(const tScratchTree& tree) {
  return runCommand({ZEMBRIL_DUMP_BINARY, "--root=" + tree.root(), "--x64"}).output;
}

const std::string kAdmin = "U\tAdmin\t/opt/own.so\n";

// One installation history, a step at a time, on one tree that starts with
// an administrator's binding.
TEST(Sync, DeclaredBindingsFollowTheirDeclarationsAndNothingElseMoves) {
  tScratchTree tree;
  std::filesystem::create_directories(tree.root() + "/var/lib");
  ASSERT_EQ(runTool(tree, {"/x64", "/U", "/add", "Admin", "/opt/own.so"}).exitStatus, 0);
  const std::string widget1 = "64 U W /usr/lib*/libw.so.1\n64 K Map<int,W> /usr/lib*/libw.so.1\n";
  struct Step {
    const char* what;
    tFiles files;
    std::string map;      // the 64-bit map after the run
    std::string notices;  // a regular expression for the output
    int exitStatus = 0;
  } steps[] = {
      {"install",
       {{"libw1", widget1}},
       kAdmin + "U\tW\t/usr/lib64/libw.so.1\nK\tMap<int,W>\t/usr/lib64/libw.so.1\n",
       ""},
      {"reinstall",
       {{"libw1", widget1}},
       kAdmin + "U\tW\t/usr/lib64/libw.so.1\nK\tMap<int,W>\t/usr/lib64/libw.so.1\n",
       ""},
      {"a new soname, one class dropped",
       {{"libw1", "64 U W /usr/lib*/libw.so.2\n"}},
       kAdmin + "U\tW\t/usr/lib64/libw.so.2\n",
       ""},
      {"another package declares a bound class, and the administrator's",
       {{"libw1", "64 U W /usr/lib*/libw.so.2\n"}, {"a-rival", "64 U W /a.so\n64 U Admin /a.so\n"}},
       kAdmin + "U\tW\t/usr/lib64/libw.so.2\n",
       "zembril-sync: 64-bit U map: Admin stays bound to /opt/own.so, which no declaration "
       "bound; a-rival declares /a.so\n"
       "zembril-sync: 64-bit U map: W stays bound to /usr/lib64/libw.so.2, as libw1 declares; "
       "a-rival declares /a.so\n"},
      {"the holder goes: the rival takes the class over",
       {{"a-rival", "64 U W /a.so\n"}},
       kAdmin + "U\tW\t/a.so\n",
       ""},
      {"a declaration that does not parse changes nothing",
       {{"a-rival", "64 U W\n"}},
       kAdmin + "U\tW\t/a.so\n",
       "zembril-sync: .*/declarations/a-rival:1: expected 4 fields \\(map, scope, class, "
       "library\\), found 3; no map file was changed\n",
       1},
      {"removal", {}, kAdmin, ""},
  };
  for (const Step& step : steps) {
    declare(tree, step.files);
    const tRunResult run = sync(tree);
    EXPECT_EQ(run.exitStatus, step.exitStatus) << step.what;
    EXPECT_TRUE(std::regex_match(run.output, std::regex(step.notices))) << step.what << ":\n"
                                                                        << run.output;
    EXPECT_EQ(map64(tree), step.map) << step.what;
  }
  // Nothing declared is left recorded, and the 32-bit map was never touched.
  EXPECT_EQ(readFile(tree.root() + "/var/lib/zembril/declared64"), "");
  EXPECT_FALSE(std::filesystem::exists(tree.mapFile(false)));
}

// A run that has nothing to change writes nothing.
TEST(Sync, ASecondRunWritesNothing) {
  tScratchTree tree;
  std::filesystem::create_directories(tree.root() + "/var/lib");
  declare(tree, {{"libw1", "64 U W /w.so\n32 K X /usr/lib*/x.so\n"}});
  ASSERT_EQ(sync(tree).exitStatus, 0);
  EXPECT_EQ(runCommand({ZEMBRIL_DUMP_BINARY, "--root=" + tree.root()}).output,
            "K\tX\t/usr/lib32/x.so\n");
  std::map<std::string, std::string> before;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree.root())) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    before[entry.path()] =
        std::to_string(status.st_ino) + " " + std::to_string(status.st_mtim.tv_nsec);
  }
  ASSERT_EQ(sync(tree).exitStatus, 0);
  for (const auto& [path, seen] : before) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    EXPECT_EQ(std::to_string(status.st_ino) + " " + std::to_string(status.st_mtim.tv_nsec), seen)
        << path;
  }
}

// Killed at each file-related system call of a run that rebinds, unbinds and
// binds, the next run ends where an unbroken run ends, and the
// administrator's binding is never touched.
TEST(Sync, KilledAnywhereTheNextRunFinishes) {
  ASSERT_TRUE(testing::haveProgram("strace")) << "the kill sweep needs strace";
  const tFiles before = {{"libw1", "64 U W /w.so.1\n64 U Gone /w.so.1\n"}};
  const tFiles after = {{"libw1", "64 U W /w.so.2\n"}, {"libnew", "64 K New /new.so\n"}};
  const auto prepare = [&](const tScratchTree& tree) {
    std::filesystem::create_directories(tree.root() + "/var/lib");
    ASSERT_EQ(runTool(tree, {"/x64", "/U", "/add", "Admin", "/opt/own.so"}).exitStatus, 0);
    declare(tree, before);
    ASSERT_EQ(sync(tree).exitStatus, 0);
    declare(tree, after);
  };
  tScratchTree clean;
  prepare(clean);
  const std::string log = clean.root() + "/strace.log";
  ASSERT_EQ(sync(clean, {"strace", "-qq", "-o", log, "-e", "trace=%file,%desc"}).exitStatus, 0);
  const std::string expectedMap = map64(clean);
  const auto expectedRecord = readFile(clean.root() + "/var/lib/zembril/declared64");
  EXPECT_EQ(expectedMap, kAdmin + "U\tW\t/w.so.2\nK\tNew\t/new.so\n");

  std::map<std::string, int> calls;
  std::istringstream lines(readFile(log).value_or(""));
  for (std::string line; std::getline(lines, line);) {
    const std::string::size_type paren = line.find('(');
    if (paren != std::string::npos && paren > 0 && !line.starts_with("execve"))
      ++calls[line.substr(0, paren)];
  }
  int killPoints = 0;
  for (const auto& [call, count] : calls) {
    for (int n = 1; n <= count; ++n) {
      tScratchTree tree;
      prepare(tree);
      const std::string inject = "inject=" + call + ":signal=KILL:when=" + std::to_string(n);
      const tRunResult killed = sync(tree, {"strace", "-qq", "-o", "/dev/null", "-e", inject});
      killPoints += killed.exitStatus == 128 + 9 ? 1 : 0;
      EXPECT_EQ(sync(tree).exitStatus, 0) << inject;
      EXPECT_EQ(map64(tree), expectedMap) << inject;
      EXPECT_EQ(readFile(tree.root() + "/var/lib/zembril/declared64"), expectedRecord) << inject;
    }
  }
  std::cout << "[ killed   ] at " << killPoints << " system calls\n";
  EXPECT_GT(killPoints, 20);
}

TEST(Sync, DeclarationGrammar) {
  struct Case {
    const char* text;
    std::size_t bindings;
    const char* error;
  } cases[] = {
      {"# a comment\n\n \t\n64\tU  Map<int,W> /usr/lib*/w.so\n32 K X /x.so", 2, ""},
      {" # a note\n", 0, "1: expected 4 fields (map, scope, class, library), found 3"},
      {"64 U X /x.so # note\n", 0, "1: expected 4 fields (map, scope, class, library), found 6"},
      {"128 U X /x.so\n", 0, "1: the map must be 32 or 64, not \"128\""},
      {"64 u X /x.so\n", 0, "1: the scope must be U or K, not \"u\""},
      {"64 S X /x.so\n", 0, "1: the scope must be U or K, not \"S\""},
      {"64 U X x.so\n", 0, "1: the library must be an absolute path, not \"x.so\""},
      {"64 U X /x.so\n32 U X /x.so\n64 U X /y.so\n", 0,
       "3: U X of the 64-bit map is declared twice (lines 1 and 3)"},
  };
  for (const Case& c : cases) {
    std::string error;
    const std::vector<tDeclaration> parsed = parseDeclarations(c.text, "p", error);
    EXPECT_EQ(parsed.size(), c.bindings) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

}  // namespace
}  // namespace nDRAVI100
