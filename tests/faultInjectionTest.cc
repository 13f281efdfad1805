// Faults injected into the real tool with strace: failing system calls and
// SIGKILL at every system call that touches the class map's files. Whatever
// happens, the map file must hold the old maps or the new ones, whole, and
// the exit status must say which: 0 or 1 for the new maps, 255 for the old.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "persistentStorage/tReplacementFile.h"
#include "testSupport.h"

namespace nDRAVI100 {
namespace {

using testing::encodeMapFile;
using testing::readFile;
using testing::runTool;
using testing::tRunResult;
using testing::tScratchTree;
using testing::writeFile;

using Args = std::vector<std::string>;
using tMapState = std::optional<std::string>;  // the map file's bytes, or no file

// One run that changes the maps, from a known map file.
struct tScenario {
  const char* name;
  tMapState oldMap;
  std::string commandFile;  // written to <root>/commands when not empty
  Args arguments;           // "@" stands for the command file's path
};

const tScenario kScenarios[] = {
    {"add",
     encodeMapFile({{"Old", "/old.so"}, {"Two", "/two.so"}}, {{"K", "/k.so"}}),
     "",
     {"/U", "/add", "New", "/usr/lib*/new.so"}},
    {"remove the last binding",
     encodeMapFile({{"Only", "/only.so"}}, {}),
     "",
     {"/U", "/delete", "Only"}},
    {"command file",
     encodeMapFile({{"Old", "/old.so"}}, {}),
     "U,add,A,/a.so\nK,add,B<x,y>,/b.so\nU,delete,Old\n",
     {"/file", "@"}},
};

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::haveProgram("strace")) GTEST_SKIP() << "strace is not installed";
  }

  // A fresh tree holding the scenario's old map file and command file.
  static std::unique_ptr<tScratchTree> prepare(const tScenario& scenario) {
    auto tree = std::make_unique<tScratchTree>();
    if (scenario.oldMap) writeFile(tree->mapFile(), *scenario.oldMap);
    if (!scenario.commandFile.empty()) writeFile(commandPath(*tree), scenario.commandFile);
    return tree;
  }

  static std::string commandPath(const tScratchTree& tree) { return tree.root() + "/commands"; }

  static Args argumentsFor(const tScenario& scenario, const tScratchTree& tree) {
    Args arguments = scenario.arguments;
    for (std::string& word : arguments) {
      if (word == "@") word = commandPath(tree);
    }
    return arguments;
  }

  // strace, limited (unless `everyFile`) to the system calls that touch the
  // tree's class map files: the directory file, the map directory, the map
  // file, its temporary file and the command file. Counting is per system
  // call.
  static Args strace(const tScratchTree& tree, const Args& options,
                     const std::string& log = "/dev/null", bool everyFile = false) {
    Args command = {"strace", "-qq", "-o", log};
    if (!everyFile) {
      for (const std::string& path :
           {tree.directoryFile(), tree.mapDirectory(), tree.mapFile(),
            tReplacementFile::temporaryPathFor(tree.mapFile()), commandPath(tree)}) {
        command.insert(command.end(), {"-P", path});
      }
    }
    command.insert(command.end(), options.begin(), options.end());
    return command;
  }

  // Returns how often the scenario's run makes each file-related system call
  // (on the class map's files alone, unless `everyFile`).
  static std::map<std::string, int> countCalls(const tScenario& scenario, bool everyFile = false) {
    auto tree = prepare(scenario);
    const std::string log = tree->root() + "/strace.log";
    const tRunResult result = runTool(*tree, argumentsFor(scenario, *tree),
                                      strace(*tree, {"-e", "trace=%file,%desc"}, log, everyFile));
    EXPECT_EQ(result.exitStatus, 0) << scenario.name;
    std::map<std::string, int> counts;
    std::istringstream lines(readFile(log).value_or(""));
    for (std::string line; std::getline(lines, line);) {
      const std::string::size_type paren = line.find('(');
      if (paren != std::string::npos && paren > 0) ++counts[line.substr(0, paren)];
    }
    return counts;
  }

  // The map file after a clean run of the scenario.
  static tMapState newMap(const tScenario& scenario) {
    auto tree = prepare(scenario);
    EXPECT_EQ(runTool(*tree, argumentsFor(scenario, *tree)).exitStatus, 0) << scenario.name;
    return readFile(tree->mapFile());
  }

  static Args strays(const tScratchTree& tree) {
    Args names = testing::listDirectory(tree.mapDirectory());
    std::erase(names, "dravimap");
    return names;
  }
};

TEST_F(FaultInjection, TargetedSaveFaults) {
  const tScenario& add = kScenarios[0];
  const tMapState expectedNew = newMap(add);
  struct Case {
    const char* what;
    Args inject;
    int exitStatus;
    std::string output;
    bool newContent;
    Args leftOver;
  } cases[] = {
      {"rename fails: the copy stands in", {"-e", "inject=rename:error=EXDEV"}, 0, "", true, {}},
      {"rename fails and the temporary file cannot be removed",
       {"-e", "inject=rename:error=EXDEV", "-e", "inject=unlink:error=EACCES:when=2"},
       1,
       "\tWarning generated: 50209\n",
       true,
       {"dravimap.tmp"}},
      {"writing the temporary file fails",
       {"-e", "inject=write:error=ENOSPC"},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50208.\n",
       false,
       {}},
      {"syncing the temporary file fails",
       {"-e", "inject=fsync:error=EIO:when=1"},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50208.\n",
       false,
       {}},
      {"closing the temporary file fails",
       {"-e", "inject=close:error=EIO:when=2"},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50205.\n",
       false,
       {}},
      {"the temporary file cannot be created",
       {"-e", "inject=openat:error=EACCES:when=6"},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50204.\n",
       false,
       {}},
      {"syncing the directory fails", {"-e", "inject=fsync:error=EIO:when=2"}, 0, "", true, {}},
      {"the lock is refused", {"-e", "inject=flock:error=ENOLCK"}, 0, "", true, {}},
      {"the lock is interrupted", {"-e", "inject=flock:error=EINTR:when=1"}, 0, "", true, {}},
      {"the map file cannot be opened",
       {"-e", "inject=openat:error=EACCES:when=4"},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50204.\n",
       false,
       {}},
      {"reading the map file fails",
       {"-e", "inject=read:error=EIO"},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50207.\n",
       false,
       {}},
  };
  for (const Case& c : cases) {
    auto tree = prepare(add);
    const tRunResult result = runTool(*tree, argumentsFor(add, *tree), strace(*tree, c.inject));
    EXPECT_EQ(result.exitStatus, c.exitStatus) << c.what;
    EXPECT_EQ(result.output, c.output) << c.what;
    EXPECT_EQ(readFile(tree->mapFile()), c.newContent ? expectedNew : add.oldMap) << c.what;
    EXPECT_EQ(strays(*tree), c.leftOver) << c.what;
  }
}

TEST_F(FaultInjection, CopyFailingAfterTheRenameKeepsTheTemporaryFile) {
  // The one case in which the map file may be damaged: the rename fails and
  // the copy that stands in for it fails too. The new maps survive in the
  // temporary file, and the status says the copy failed.
  const tScenario& add = kScenarios[0];
  const tMapState expectedNew = newMap(add);
  const char* kCopyFaults[] = {
      "inject=write:error=ENOSPC:when=2",  // the copy's write to the map file
      "inject=fsync:error=EIO:when=2",     // the copy's sync
      "inject=close:error=EIO:when=3",     // the copy's close of the map file
  };
  for (const char* fault : kCopyFaults) {
    auto tree = prepare(add);
    const tRunResult result =
        runTool(*tree, argumentsFor(add, *tree),
                strace(*tree, {"-e", "inject=rename:error=EXDEV", "-e", fault}));
    EXPECT_EQ(result.exitStatus, 255) << fault;
    EXPECT_EQ(result.output, "\tOperation Failed!\n\tStatus on exit was -50209.\n") << fault;
    EXPECT_EQ(readFile(tReplacementFile::temporaryPathFor(tree->mapFile())), expectedNew) << fault;
  }
}

TEST_F(FaultInjection, FailedSaveReplacesAnEarlierWarning) {
  const tScenario& add = kScenarios[0];
  auto tree = prepare(add);
  const tRunResult result = runTool(*tree, {"/U", "/add", "Old", "/elsewhere.so"},
                                    strace(*tree, {"-e", "inject=fsync:error=EIO:when=1"}));
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.output, "\tOperation Failed!\n\tStatus on exit was -50208.\n");
  EXPECT_EQ(readFile(tree->mapFile()), add.oldMap);
}

// Every failing call of these system calls, one per run, with each fitting
// error. No fault of a load discards the map file here: the test tree has no
// directory file, and only a file found too short, or with a wrong magic or
// version, is ever discarded, which a failing call cannot fake.
TEST_F(FaultInjection, EveryFailingCallAgreesWithTheExitStatus) {
  const std::map<std::string, Args> errors = {
      {"openat", {"EACCES", "EIO", "EINTR"}},
      {"read", {"EIO", "EINTR"}},
      {"write", {"ENOSPC", "EIO", "EINTR"}},
      {"fsync", {"EIO", "ENOSPC"}},
      {"close", {"EIO", "EINTR"}},
      {"rename", {"EXDEV", "EIO", "EPERM"}},
      {"unlink", {"EACCES", "EPERM", "EIO"}},
      {"flock", {"EINTR", "ENOLCK"}},
  };
  int injected = 0;
  for (const tScenario& scenario : kScenarios) {
    const tMapState expectedNew = newMap(scenario);
    for (const auto& [call, count] : countCalls(scenario)) {
      const auto fitting = errors.find(call);
      if (fitting == errors.end()) continue;
      for (int n = 1; n <= count; ++n) {
        for (const std::string& error : fitting->second) {
          auto tree = prepare(scenario);
          const std::string inject =
              "inject=" + call + ":error=" + error + ":when=" + std::to_string(n);
          const tRunResult result =
              runTool(*tree, argumentsFor(scenario, *tree), strace(*tree, {"-e", inject}));
          const std::string where = std::string(scenario.name) + ", " + inject;
          const tMapState after = readFile(tree->mapFile());
          if (result.exitStatus == 0 || result.exitStatus == 1) {
            EXPECT_EQ(after, expectedNew) << where << ": success, but the new maps are missing";
          } else {
            EXPECT_EQ(result.exitStatus, 255) << where;
            EXPECT_EQ(after, scenario.oldMap) << where << ": failed, but the map file changed";
          }
          EXPECT_EQ(strays(*tree), Args{}) << where;
          ++injected;
        }
      }
    }
  }
  std::cout << "[ injected ] " << injected << " failing system calls\n";
  EXPECT_GT(injected, 60);
}

// Every file-related system call of the run, the loader's and the report's
// included, is a kill point. A sanitizer's runtime makes a varying number of
// reads of its own, so a run may end before its N-th call comes; it must then
// have succeeded like a clean run.
TEST_F(FaultInjection, KilledAtEveryCallLeavesOldOrNewMaps) {
  int killPoints = 0;
  for (const tScenario& scenario : kScenarios) {
    const tMapState expectedNew = newMap(scenario);
    for (const auto& [call, count] : countCalls(scenario, true)) {
      // strace starts the tool with this call; the tool has not run yet.
      if (call == "execve") continue;
      for (int n = 1; n <= count; ++n) {
        auto tree = prepare(scenario);
        const std::string inject = "inject=" + call + ":signal=KILL:when=" + std::to_string(n);
        const std::string where = std::string(scenario.name) + ", " + inject;
        const tRunResult killed = runTool(*tree, argumentsFor(scenario, *tree),
                                          strace(*tree, {"-e", inject}, "/dev/null", true));
        const tMapState after = readFile(tree->mapFile());
        if (killed.exitStatus != 128 + 9) {
          EXPECT_EQ(killed.exitStatus, 0) << where << ": neither killed nor successful";
          EXPECT_EQ(after, expectedNew) << where;
          continue;
        }
        EXPECT_TRUE(after == scenario.oldMap || after == expectedNew) << where;

        const tRunResult next = runTool(*tree, {"/U", "/list"});
        EXPECT_EQ(next.exitStatus, 0) << where;
        EXPECT_EQ(next.output, "") << where;
        EXPECT_EQ(readFile(tree->mapFile()), after) << where << ": the next run changed the maps";
        EXPECT_EQ(strays(*tree), Args{}) << where;
        ++killPoints;
      }
    }
  }
  std::cout << "[ killed   ] at " << killPoints << " system calls\n";
  EXPECT_GT(killPoints, 40);
}

}  // namespace
}  // namespace nDRAVI100
