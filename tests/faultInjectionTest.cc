// Faults injected into the real tool with strace: failing system calls and
// SIGKILL at every system call that touches the class map's files. Whatever
// happens, the map file must hold the old maps or the new ones, whole, and
// the exit status must say which: 0 or 1 for the new maps, 255 for the old.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <vector>

#include "persistentStorage/tMapPaths.h"
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
  // Whether a directory file names the map directory. It names the fallback
  // directory, so that a run that cannot read it still finds the same maps.
  bool directoryFile = false;
  tMapState temporaryFile = std::nullopt;  // left beside the map file by an earlier run
};

// Larger than one piece of the copy that stands in for a failed rename.
const std::string kLongPath = "/usr/lib/" + std::string(300, 'p') + ".so";

const tScenario kScenarios[] = {
    {"add",
     encodeMapFile({{"Old", "/old.so"}, {"Two", kLongPath}}, {{"K", "/k.so"}}),
     "",
     {"/U", "/add", "New", "/usr/lib*/new.so"}},
    {"add, directory file",
     encodeMapFile({{"Old", "/old.so"}}, {{"K", "/k.so"}}),
     "",
     {"/K", "/add", "New", "/usr/lib*/new.so"},
     true},
    {"remove the last binding",
     encodeMapFile({{"Only", "/only.so"}}, {}),
     "",
     {"/U", "/delete", "Only"}},
    {"command file",
     encodeMapFile({{"Old", "/old.so"}}, {}),
     "U,add,A,/a.so\nK,add,B<x,y>,/b.so\nU,delete,Old\n",
     {"/file", "@"}},
};

enum class tFileOfRun { mapFile, temporaryFile, mapDirectory, directoryFile, lockFile };

std::string pathOf(tFileOfRun file, const tScratchTree& tree) {
  switch (file) {
    case tFileOfRun::mapFile:
      return tree.mapFile();
    case tFileOfRun::temporaryFile:
      return tMapPaths::temporaryNameFor(tree.mapFile());
    case tFileOfRun::mapDirectory:
      return tree.mapDirectory();
    case tFileOfRun::directoryFile:
      return tree.directoryFile();
    case tFileOfRun::lockFile:
      return tree.mapDirectory() + "/" + tMapPaths::lockFileName();
  }
  return std::string();
}

// One system call on one file: the `nth` call of `call` whose trace line
// names the file (as a path argument, or as the file behind a descriptor).
struct tTarget {
  std::string call;
  tFileOfRun file;
  int nth = 1;
};

class FaultInjection : public ::testing::Test {
 protected:
  // These tests are the proof that no fault loses a binding: without strace
  // they must fail, not pass unseen.
  void SetUp() override { ASSERT_TRUE(testing::haveProgram("strace")) << "strace is missing"; }

  // Returns the strace options that make `target`'s call fail with `action`
  // (for example "error=EIO") in a run of `scenario`, on top of the
  // `alsoInjected` options. The call is found by a traced run with the same
  // injections, so that the fault hits that file whatever else the run
  // does.
  static Args injectAt(const tScenario& scenario, const tTarget& target, const std::string& action,
                       const Args& alsoInjected = {}) {
    auto tree = prepare(scenario);
    const std::string path = pathOf(target.file, *tree);
    const std::string log = tree->root() + "/strace.log";
    Args options = {"-y", "-e", "trace=%file,%desc," + target.call};
    options.insert(options.end(), alsoInjected.begin(), alsoInjected.end());
    runTool(*tree, argumentsFor(scenario, *tree), strace(*tree, options, log));
    int ordinal = 0;
    int matches = 0;
    std::istringstream lines(readFile(log).value_or(""));
    for (std::string line; std::getline(lines, line);) {
      if (line.compare(0, target.call.size() + 1, target.call + "(") != 0) continue;
      ++ordinal;
      if (names(line, path) && ++matches == target.nth) {
        Args inject = alsoInjected;
        inject.insert(inject.end(), {"-e", "inject=" + target.call + ":" + action +
                                               ":when=" + std::to_string(ordinal)});
        return inject;
      }
    }
    ADD_FAILURE() << "no call " << target.call << " #" << target.nth << " on " << path;
    return alsoInjected;
  }

  // Returns true when a traced call names the file at `path`: as a path, as
  // the file behind a descriptor, or by its name in the directory that a
  // descriptor holds.
  static bool names(const std::string& line, const std::string& path) {
    const std::string directory = path.substr(0, path.rfind('/'));
    const std::string name = path.substr(path.rfind('/') + 1);
    return line.find("<" + path + ">") != std::string::npos ||
           line.find("\"" + path + "\"") != std::string::npos ||
           line.find("<" + directory + ">, \"" + name + "\"") != std::string::npos;
  }

  // A fresh tree holding the scenario's old map file and command file.
  static std::unique_ptr<tScratchTree> prepare(const tScenario& scenario) {
    auto tree = std::make_unique<tScratchTree>();
    if (scenario.oldMap) writeFile(tree->mapFile(), *scenario.oldMap);
    if (!scenario.commandFile.empty()) writeFile(commandPath(*tree), scenario.commandFile);
    if (scenario.temporaryFile) {
      writeFile(tMapPaths::temporaryNameFor(tree->mapFile()), *scenario.temporaryFile);
    }
    if (scenario.directoryFile) {
      // Relative, so that a run that failed to take it inside the root could
      // never reach the machine's own map.
      writeFile(tree->directoryFile(), "usr/local/tolvane/.mirtal/\n");
    }
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
            tMapPaths::temporaryNameFor(tree.mapFile()),
            tree.mapDirectory() + "/" + tMapPaths::lockFileName(), commandPath(tree)}) {
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

  // A run after the one that was killed or failed saves, and leaves only
  // the map file and the lock file behind.
  static void expectNextSaveLeavesNothingStray(const tScratchTree& tree, const std::string& where) {
    EXPECT_EQ(runTool(tree, {"/K", "/add", "Swept", "/swept.so"}).exitStatus, 0) << where;
    EXPECT_EQ(strays(tree), Args{}) << where;
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
  constexpr tFileOfRun tmp = tFileOfRun::temporaryFile;
  constexpr tFileOfRun mapFile = tFileOfRun::mapFile;
  constexpr tFileOfRun directory = tFileOfRun::mapDirectory;
  const Args renameFails = {"-e", "inject=renameat:error=EXDEV"};
  struct Case {
    const char* what;
    tTarget target;
    std::string error;
    Args alsoInjected;
    int exitStatus;
    std::string output;
    bool newContent;
    Args leftOver;
  } cases[] = {
      {"rename fails: the copy stands in", {"renameat", tmp}, "EXDEV", {}, 0, "", true, {}},
      {"rename fails and the temporary file cannot be removed",
       {"unlinkat", tmp, 1},
       "EACCES",
       renameFails,
       1,
       "\tWarning generated: 50209\n",
       true,
       {"dravimap.tmp"}},
      {"writing the temporary file fails",
       {"writev", tmp},
       "ENOSPC",
       {},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50208.\n",
       false,
       {}},
      {"syncing the temporary file fails",
       {"fsync", tmp},
       "EIO",
       {},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50208.\n",
       false,
       {}},
      {"closing the temporary file fails",
       {"close", tmp},
       "EIO",
       {},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50205.\n",
       false,
       {}},
      {"the temporary file cannot be created",
       {"openat", tmp},
       "EACCES",
       {},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50204.\n",
       false,
       {}},
      {"syncing the directory fails", {"fsync", directory}, "EIO", {}, 0, "", true, {}},
      // A run that cannot hold the lock must not write.
      {"the lock is refused",
       {"flock", tFileOfRun::lockFile},
       "ENOLCK",
       {},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50204.\n",
       false,
       {}},
      {"the lock is interrupted", {"flock", tFileOfRun::lockFile}, "EINTR", {}, 0, "", true, {}},
      {"the map file cannot be opened",
       {"openat", mapFile},
       "EACCES",
       {},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50204.\n",
       false,
       {}},
      {"reading the map file fails",
       {"read", mapFile},
       "EIO",
       {},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50207.\n",
       false,
       {}},
  };
  for (const Case& c : cases) {
    const Args inject = injectAt(add, c.target, "error=" + c.error, c.alsoInjected);
    auto tree = prepare(add);
    const tRunResult result = runTool(*tree, argumentsFor(add, *tree), strace(*tree, inject));
    EXPECT_EQ(result.exitStatus, c.exitStatus) << c.what;
    EXPECT_EQ(result.output, c.output) << c.what;
    EXPECT_EQ(readFile(tree->mapFile()), c.newContent ? expectedNew : add.oldMap) << c.what;
    EXPECT_EQ(strays(*tree), c.leftOver) << c.what;
  }
}

// A save of more than a mebibyte sets the device to writing its first
// pieces while it writes the rest. That is a hint: where the kernel
// refuses it, the save goes on, whole, and reports nothing.
TEST_F(FaultInjection, ARefusedEarlyWriteBackChangesNothing) {
  testing::tPairs many;
  for (int i = 0; i < 20000; ++i) {
    many.emplace_back("com.example.Class" + std::to_string(i),
                      "/usr/lib64/example/libexample.so.1");
  }
  const tScenario large{"add into a map of more than a mebibyte",
                        encodeMapFile(many, {}),
                        "",
                        {"/U", "/add", "New", "/new.so"}};
  ASSERT_GT(countCalls(large)["sync_file_range"], 0);
  const tMapState expected = newMap(large);
  auto tree = prepare(large);
  const tRunResult result = runTool(*tree, argumentsFor(large, *tree),
                                    strace(*tree, {"-e", "inject=sync_file_range:error=EIO"}));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(readFile(tree->mapFile()), expected);
  EXPECT_EQ(strays(*tree), Args{});
}

TEST_F(FaultInjection, SavesSyncEachFileBeforeTheNextStepDependsOnIt) {
  const tScenario& add = kScenarios[0];
  const struct {
    Args inject;
    Args calls;
  } cases[] = {
      {{}, {"writev tmp", "fsync tmp", "renameat tmp", "fsync directory"}},
      // Before the copy overwrites the map file in place, the temporary
      // file's name must be durable: it is then the only complete copy. The
      // copy mark is on disk before anything else of the map file changes,
      // and the head of the file, with its magic, goes over it last.
      {{"-e", "inject=renameat:error=EXDEV"},
       {"writev tmp", "fsync tmp", "renameat tmp", "fsync directory", "pwrite64 map mark",
        "fsync map", "pwrite64 map", "fsync map", "pwrite64 map head", "fsync map", "unlinkat tmp",
        "fsync directory"}},
  };
  for (const auto& c : cases) {
    auto tree = prepare(add);
    const std::string log = tree->root() + "/strace.log";
    Args options = {"-y", "-e", "trace=write,writev,pwrite64,fsync,renameat,unlinkat"};
    options.insert(options.end(), c.inject.begin(), c.inject.end());
    const tRunResult result = runTool(*tree, argumentsFor(add, *tree), strace(*tree, options, log));
    ASSERT_EQ(result.exitStatus, 0);
    const std::string tmp = tMapPaths::temporaryNameFor(tree->mapFile());
    Args calls;
    std::istringstream lines(readFile(log).value_or(""));
    for (std::string line; std::getline(lines, line);) {
      // The save's own calls; the unlink of a stale temporary file that
      // is not there comes before any of them.
      if (line.find("= -1 ENOENT") != std::string::npos) continue;
      const std::string call = line.substr(0, line.find('('));
      const std::string file = names(line, tmp)               ? "tmp"
                               : names(line, tree->mapFile()) ? "map"
                               : line.find(tree->mapDirectory() + ">") != std::string::npos
                                   ? "directory"
                                   : "other";
      const bool head = file == "map" && line.find(", \" fmd") != std::string::npos;
      const bool mark = file == "map" && line.find(", \"\\177cpy") != std::string::npos;
      calls.push_back(call);
      calls.back().append(" ").append(file).append(head ? " head" : "").append(mark ? " mark" : "");
    }
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(FaultInjection, CopyFailingAfterTheRenameKeepsTheTemporaryFile) {
  // The one case in which the map file may be left unfinished: the rename
  // fails and the copy that stands in for it fails too. The new maps
  // survive in the temporary file, and the status says the copy failed.
  // Once the copy mark is down, the next run that takes the lock finishes
  // the copy; one whose own copy fails again leaves both files as they were;
  // before the mark, the map file is untouched and the next run drops the
  // temporary file.
  const tScenario& add = kScenarios[0];
  const tMapState expectedNew = newMap(add);
  constexpr tFileOfRun mapFile = tFileOfRun::mapFile;
  const Args renameFails = {"-e", "inject=renameat:error=EXDEV"};
  const struct {
    tTarget target;
    const char* error;
    bool marked;  // the map file carries the copy mark afterwards
    tMapState after;
  } kCopyFaults[] = {
      {{"pwrite64", mapFile}, "ENOSPC", false, add.oldMap},  // the mark itself
      {{"pwrite64", mapFile, 2}, "ENOSPC", true, expectedNew},
      {{"fsync", mapFile}, "EIO", true, expectedNew},
      // Everything was written; the first close is the reader's, the second
      // and third those of the descriptors that found the file by name.
      {{"close", mapFile, 4}, "EIO", false, expectedNew},
  };
  for (const auto& fault : kCopyFaults) {
    const std::string where = fault.target.call + " " + fault.error;
    const Args inject =
        injectAt(add, fault.target, std::string("error=") + fault.error, renameFails);
    auto tree = prepare(add);
    const tRunResult result = runTool(*tree, argumentsFor(add, *tree), strace(*tree, inject));
    EXPECT_EQ(result.exitStatus, 255) << where;
    EXPECT_EQ(result.output, "\tOperation Failed!\n\tStatus on exit was -50209.\n") << where;
    const std::string tmp = tMapPaths::temporaryNameFor(tree->mapFile());
    EXPECT_EQ(readFile(tmp), expectedNew) << where;

    if (fault.marked) {
      const tMapState marked = readFile(tree->mapFile());
      const tRunResult again = runTool(*tree, {"/U", "/list"},
                                       strace(*tree, {"-e", "inject=renameat:error=EXDEV", "-e",
                                                      "inject=pwrite64:error=ENOSPC"}));
      EXPECT_EQ(again.exitStatus, 255) << where;
      EXPECT_EQ(readFile(tree->mapFile()), marked) << where;
      EXPECT_EQ(readFile(tmp), expectedNew) << where;
    }
    const tRunResult next = runTool(*tree, {"/U", "/list"});
    EXPECT_EQ(next.exitStatus, 0) << where;
    EXPECT_EQ(readFile(tree->mapFile()), fault.after) << where;
    EXPECT_EQ(strays(*tree), Args{}) << where;
  }
}

// A copy that could not open the map file changed nothing, so it leaves no
// temporary file behind: a later damage to the map file must not bring back
// the maps of a run that failed.
TEST_F(FaultInjection, ACopyThatNeverOpenedTheMapFileLeavesNothingToRollForward) {
  const tScenario& add = kScenarios[0];
  const Args inject = injectAt(add, {"openat", tFileOfRun::mapFile, 2}, "error=EACCES",
                               {"-e", "inject=renameat:error=EXDEV"});
  auto tree = prepare(add);
  const tRunResult failed = runTool(*tree, argumentsFor(add, *tree), strace(*tree, inject));
  EXPECT_EQ(failed.exitStatus, 255);
  EXPECT_EQ(failed.output, "\tOperation Failed!\n\tStatus on exit was -50204.\n");
  EXPECT_EQ(readFile(tree->mapFile()), add.oldMap);
  EXPECT_EQ(strays(*tree), Args{});

  writeFile(tree->mapFile(), "garbage");
  EXPECT_EQ(runTool(*tree, {"/U", "/add", "Probe", "/probe.so"}).exitStatus, 0);
  EXPECT_EQ(readFile(tree->mapFile()), encodeMapFile({{"Probe", "/probe.so"}}, {}));
}

// A user who can write the map directory holds the save at its rename
// (strace pauses it there and then fails it, as taking the new temporary
// file away would) and swaps files in under the copy that stands in: a hard
// link to a secret of root's at the temporary file's name, to have it
// copied into the map file that everyone reads; or a link from the map
// file's name to a file of root's, to have it overwritten. The copy reads
// what the run wrote from its own descriptor, and opens no link.
TEST_F(FaultInjection, FilesSwappedInDuringTheSaveLeadNowhere) {
  const tScenario& add = kScenarios[0];
  const tMapState expectedNew = newMap(add);
  const struct {
    const char* what;
    bool linkTheMapFile;
    int exitStatus;
  } cases[] = {
      {"the temporary file is a secret's", false, 0},
      {"the map file leads to root's file", true, 255},
  };
  for (const auto& c : cases) {
    auto tree = prepare(add);
    const std::string victim = tree->root() + "/victim";
    const std::string secret = tree->root() + "/secret";
    writeFile(victim, "root's own file\n");
    writeFile(secret, "root's secret\n");
    const std::string tmp = tMapPaths::temporaryNameFor(tree->mapFile());
    auto run = std::async(std::launch::async, [&] {
      return runTool(*tree, argumentsFor(add, *tree),
                     {"strace", "-qq", "-o", "/dev/null", "-e",
                      "inject=renameat:error=ENOENT:delay_enter=800000"});
    });
    // The temporary file is written and synced well within the pause.
    for (int wait = 0; wait < 1000 && !std::filesystem::exists(tmp); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(::unlink(tmp.c_str()), 0) << c.what;
    ASSERT_EQ(::link(secret.c_str(), tmp.c_str()), 0) << c.what;
    if (c.linkTheMapFile) {
      ASSERT_EQ(::unlink(tree->mapFile().c_str()), 0) << c.what;
      ASSERT_EQ(::symlink(victim.c_str(), tree->mapFile().c_str()), 0) << c.what;
    }
    const tRunResult result = run.get();
    EXPECT_EQ(result.exitStatus, c.exitStatus) << c.what << ": " << result.output;
    EXPECT_EQ(readFile(victim), "root's own file\n") << c.what;
    EXPECT_EQ(readFile(secret), "root's secret\n") << c.what;
    if (c.linkTheMapFile) {
      EXPECT_TRUE(std::filesystem::is_symlink(tree->mapFile())) << c.what;
    } else {
      EXPECT_EQ(readFile(tree->mapFile()), expectedNew) << c.what;
    }
  }
}

TEST_F(FaultInjection, FailedSaveReplacesAnEarlierWarning) {
  // An add that warns saves only a file the load must mend: here, one with
  // bytes after its last section.
  const tScenario add = {
      "add, mended", *kScenarios[0].oldMap + "tail", "", {"/U", "/add", "Old", "/elsewhere.so"}};
  const Args inject = injectAt(add, {"fsync", tFileOfRun::temporaryFile}, "error=EIO");
  auto tree = prepare(add);
  const tRunResult result = runTool(*tree, add.arguments, strace(*tree, inject));
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.output, "\tOperation Failed!\n\tStatus on exit was -50208.\n");
  EXPECT_EQ(readFile(tree->mapFile()), add.oldMap);
}

TEST_F(FaultInjection, TheDirectoryFileIsReadOnceAndItsFailureCostsNoBinding) {
  const tScenario& add = kScenarios[1];
  auto tree = prepare(add);
  const std::string log = tree->root() + "/strace.log";
  runTool(*tree, argumentsFor(add, *tree),
          strace(*tree, {"-e", "trace=openat,openat2"}, log, true));
  const std::string trace = readFile(log).value_or("");
  // Found inside the root, by its path there.
  const std::string opening = "\"" + tree->directoryFile().substr(tree->root().size()) + "\"";
  int opens = 0;
  for (std::string::size_type at = 0; (at = trace.find(opening, at)) != std::string::npos; ++at) {
    ++opens;
  }
  EXPECT_EQ(opens, 1) << trace;

  // The directory file names another directory; reading it fails once. The
  // run must then keep to the fallback directory, lock, load and save alike.
  auto moved = prepare(add);
  const std::string named = moved->root() + "/opt/maps";
  writeFile(moved->directoryFile(), "/opt/maps\n");
  writeFile(named + "/etc/dravimap", *add.oldMap);
  std::filesystem::remove(moved->mapFile());
  const Args inject = injectAt(add, {"read", tFileOfRun::directoryFile}, "error=EIO");
  const tRunResult result = runTool(*moved, argumentsFor(add, *moved), strace(*moved, inject));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(readFile(named + "/etc/dravimap"), add.oldMap);
}

// "/root DIR" keeps a run inside DIR. Its own work starts at its first path
// below DIR, once the program is loaded; from there on every path that a
// call names lies below DIR, whether the directory file names the map
// directory or not, and also through the copy that stands in for a failed
// rename: a name relative to a descriptor of a directory below DIR, a path
// resolved inside DIR, or a file already open reopened through
// /proc/self/fd. Before it, no path of the class map's may show at all.
TEST_F(FaultInjection, NothingOutsideTheRootIsTouched) {
  const std::regex call("^\\w+\\((?:AT_FDCWD|\\d+)(?:<([^>]*)>)?, \"((?:[^\"\\\\]|\\\\.)*)\"");
  const std::regex quoted("\"((?:[^\"\\\\]|\\\\.)*)\"");
  for (const tScenario& scenario : kScenarios) {
    for (const Args& inject : {Args{}, Args{"-e", "inject=renameat:error=EXDEV"}}) {
      auto tree = prepare(scenario);
      const std::string log = tree->root() + "/strace.log";
      Args options = {"-y", "-e", "trace=%file"};
      options.insert(options.end(), inject.begin(), inject.end());
      EXPECT_EQ(runTool(*tree, argumentsFor(scenario, *tree), strace(*tree, options, log, true))
                    .exitStatus,
                0);
      const auto below = [&](const std::string& path) {
        return path == tree->root() || path.starts_with(tree->root() + "/");
      };
      bool inside = false;
      std::istringstream lines(readFile(log).value_or(""));
      for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("execve(")) continue;
        std::smatch at;
        const bool inRoot = line.find("RESOLVE_IN_ROOT") != std::string::npos;
        if (std::regex_search(line, at, call) && at[1].matched && below(at[1]) &&
            (!std::string(at[2]).starts_with('/') || inRoot)) {
          inside = true;
          continue;
        }
        for (std::sregex_iterator path(line.begin(), line.end(), quoted), end; path != end;
             ++path) {
          const std::string named = (*path)[1];
          if (named.empty()) continue;
          if (below(named)) {
            inside = true;
          } else {
            EXPECT_TRUE(inside ? named.starts_with("/proc/self/fd/")
                               : named.find("tolvane") == std::string::npos)
                << scenario.name << ": " << line;
          }
        }
      }
      EXPECT_TRUE(inside) << scenario.name << ": no trace";
    }
  }
}

TEST_F(FaultInjection, QueriesSucceedOnAReadOnlyMapDirectoryWithoutAMapFile) {
  // A removal on a read-only file system says EROFS even for a file that is
  // not there.
  const tScenario empty = {"query", std::nullopt, "\n", {}};
  for (const Args& arguments :
       {Args{"/U", "/list"}, Args{"/K", "/lookup", "C"}, Args{"/file", "@"}}) {
    auto tree = prepare(empty);
    const tRunResult result = runTool(*tree, argumentsFor({"", std::nullopt, "", arguments}, *tree),
                                      strace(*tree, {"-e", "inject=unlinkat:error=EROFS"}));
    EXPECT_EQ(result.exitStatus, 0) << arguments[0];
    EXPECT_EQ(result.output, "") << arguments[0];
  }
}

// A damaged map file is never lost: each is kept under a name of its own,
// and one that cannot be renamed aside (a bind-mounted map file says EBUSY)
// is copied aside, once, before the maps start empty.
TEST_F(FaultInjection, DamagedFilesAreKeptEvenWhereTheyCannotBeRenamed) {
  tScratchTree tree;
  const Args busy = {"strace", "-qq", "-o", "/dev/null", "-e", "inject=renameat2:error=EBUSY"};
  const std::string first = encodeMapFile({{"A", "/a.so"}, {"B", "/b.so"}}, {}).substr(0, 30);
  const std::string second = "garbage";
  writeFile(tree.mapFile(), first);
  // Two queries find it damaged and keep one copy; the add then replaces it.
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(runTool(tree, {"/U", "/lookup", "A"}, busy).exitStatus, 0);
  }
  EXPECT_EQ(runTool(tree, {"/U", "/add", "C", "/c.so"}, busy).exitStatus, 0);
  EXPECT_EQ(readFile(tree.mapFile()), encodeMapFile({{"C", "/c.so"}}, {}));
  writeFile(tree.mapFile(), second);
  EXPECT_EQ(runTool(tree, {"/U", "/add", "D", "/d.so"}).exitStatus, 0);
  EXPECT_EQ(readFile(tMapPaths::damagedNameFor(tree.mapFile())), first);
  EXPECT_EQ(readFile(tMapPaths::damagedNameFor(tree.mapFile(), 1)), second);
  EXPECT_EQ(strays(tree), Args({"dravimap.damaged", "dravimap.damaged.1"}));

  // Where it can be neither renamed nor copied, it stays, and the run fails.
  writeFile(tree.mapFile(), second + "2");
  const tRunResult failed =
      runTool(tree, {"/U", "/add", "E", "/e.so"},
              {"strace", "-qq", "-o", "/dev/null", "-e", "inject=renameat2:error=EBUSY", "-e",
               "inject=fsync:error=EIO"});
  EXPECT_EQ(failed.exitStatus, 255);
  EXPECT_EQ(failed.output, "\tOperation Failed!\n\tStatus on exit was -50209.\n");
  EXPECT_EQ(readFile(tree.mapFile()), second + "2");
  EXPECT_EQ(strays(tree), Args({"dravimap.damaged", "dravimap.damaged.1"}));
}

// A program started with descriptors 0 to 2 closed would get them back from
// its first opens: the lock file or a map file as standard output, where a
// report line would land. Each executable opens /dev/null onto them first.
TEST_F(FaultInjection, ClosedStandardDescriptorsAreNeverTheToolsFiles) {
  tScratchTree tree;
  writeFile(tree.mapFile(), encodeMapFile({{"A", "/a.so"}}, {}));
  const std::string log = tree.root() + "/strace.log";
  const Args closing = {"strace", "-qq",          "-f", "-o", log,
                        "-e",     "trace=openat", "sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"};
  const std::string root = "--root=" + tree.root();
  for (const Args& command :
       {Args{ZEMBRIL_BINARY, "/root", tree.root(), "/U", "/add", "A", "/b.so"},
        Args{ZEMBRIL_DUMP_BINARY, root, "--check"}, Args{ZEMBRIL_SYNC_BINARY, root}}) {
    Args run = closing;
    run.insert(run.end(), command.begin(), command.end());
    // The add warns: its report line goes to the /dev/null in place of
    // standard output, never into a file of the tree.
    testing::runCommand(run);
    std::istringstream lines(readFile(log).value_or(""));
    int opens = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.find(tree.root()) == std::string::npos) continue;
      ++opens;
      EXPECT_FALSE(std::regex_search(line, std::regex("= [012]$"))) << command[0] << ": " << line;
    }
    EXPECT_GT(opens, 0) << command[0];
  }
  EXPECT_EQ(readFile(tree.mapFile()), encodeMapFile({{"A", "/a.so"}}, {}));
}

// Every failing call of these system calls, one per run, with each fitting
// error. No fault of a load discards the map file here: only a file found
// too short, or with a wrong magic or version, is ever set aside, which a
// failing call cannot fake; and where a directory file is read, it names the
// fallback directory, so that failing to read it changes nothing.
TEST_F(FaultInjection, EveryFailingCallAgreesWithTheExitStatus) {
  const std::map<std::string, Args> errors = {
      {"openat", {"EACCES", "EIO", "EINTR"}},
      {"read", {"EIO", "EINTR"}},
      {"write", {"ENOSPC", "EIO", "EINTR"}},
      {"fsync", {"EIO", "ENOSPC"}},
      {"close", {"EIO", "EINTR"}},
      {"renameat", {"EXDEV", "EIO", "EPERM"}},
      {"unlinkat", {"EACCES", "EPERM", "EIO"}},
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
          std::string inject = "inject=";
          inject.append(call).append(":error=").append(error).append(":when=");
          inject.append(std::to_string(n));
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

        // The next run of any kind, a query too, clears what the killed
        // run left, and never takes its maps when it did not commit them.
        const tRunResult next = runTool(*tree, {"/U", "/list"});
        EXPECT_EQ(next.exitStatus, 0) << where;
        EXPECT_EQ(next.output, "") << where;
        EXPECT_EQ(readFile(tree->mapFile()), after) << where << ": the next run changed the maps";
        EXPECT_EQ(strays(*tree), Args{}) << where << ": left after a query";
        expectNextSaveLeavesNothingStray(*tree, where);
        ++killPoints;
      }
    }
  }
  std::cout << "[ killed   ] at " << killPoints << " system calls\n";
  EXPECT_GT(killPoints, 40);
}

// A map file marked by a copy that did not finish, beside the complete
// temporary file it names: wherever this run is killed, the next one finds
// the recovered maps or this run's, never nothing.
TEST_F(FaultInjection, KilledWhileRecoveringLosesNothing) {
  const tMapState recovered = encodeMapFile({{"Saved", "/saved.so"}}, {{"K", "/k.so"}});
  const tScenario recover = {
      "recover", testing::copyMarkFor(*recovered) + recovered->substr(kCopyMarkSize),
      "",        {"/U", "/add", "New", "/new.so"},
      false,     recovered};
  const tMapState expectedNew = newMap(recover);
  int killPoints = 0;
  for (const auto& [call, count] : countCalls(recover, true)) {
    if (call == "execve") continue;
    for (int n = 1; n <= count; ++n) {
      auto tree = prepare(recover);
      const std::string inject = "inject=" + call + ":signal=KILL:when=" + std::to_string(n);
      runTool(*tree, argumentsFor(recover, *tree),
              strace(*tree, {"-e", inject}, "/dev/null", true));
      EXPECT_EQ(runTool(*tree, {"/U", "/list"}).exitStatus, 0) << inject;
      const tMapState after = readFile(tree->mapFile());
      EXPECT_TRUE(after == recovered || after == expectedNew) << inject;
      EXPECT_EQ(strays(*tree), Args{}) << inject << ": left after a query";
      expectNextSaveLeavesNothingStray(*tree, inject);
      ++killPoints;
    }
  }
  EXPECT_GT(killPoints, 20);
}

}  // namespace
}  // namespace nDRAVI100
