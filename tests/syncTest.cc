// zembril-sync on a private root: declared bindings come and go with their
// declarations, every other binding stays, and a run killed anywhere is
// finished by the next.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "sync/tDeclarations.h"
#include "sync/tSyncPlan.h"
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

// The record of the 64-bit map, beside it.
std::optional<std::string> record64(const tScratchTree& tree) {
  return readFile(tree.mapFile(true) + ".declared");
}

// The 64-bit map as zembril-dump shows it.
std::string map64(const tScratchTree& tree) {
  return runCommand({ZEMBRIL_DUMP_BINARY, "--root=" + tree.root(), "--x64"}).output;
}

const std::string kAdmin = "U\tAdmin\t/opt/own.so\n";

// What zembril-sync quotes from a file or a command line reaches the
// administrator's terminal escaped as zembril-dump escapes it, never raw.
TEST(Sync, QuotedBytesAreEscaped) {
  struct Case {
    const char* what;
    std::function<void(const tScratchTree&)> setUp;
    Args options;
    std::string expected;  // a part of the output
  } cases[] = {
      {"a library path read from the map, in the stays-bound notice",
       [](const tScratchTree& tree) {
         ASSERT_EQ(
             runTool(tree, {"/x64", "/U", "/add", "Admin", "/opt/\x1b]0;owned\x07.so"}).exitStatus,
             0);
       },
       {},
       "Admin stays bound to /opt/\\x1b]0;owned\\x07.so, which no declaration bound"},
      {"the map directory that the directory file names",
       [](const tScratchTree& tree) {
         writeFile(tree.directoryFile(), "/cls\x1b[2J\n");
         writeFile(tree.root() + "/cls\x1b[2J/etc", "");
       },
       {},
       "/cls\\x1b[2J/etc: Not a directory"},
      {"an operand", [](const tScratchTree&) {}, {"\x1b[2J"}, "extra operand '\\x1b[2J'"},
      {"the root, in the path of a file passed over",
       [](const tScratchTree& tree) {
         writeFile(declarationsOf(tree) + "/pk~", "");
         std::filesystem::create_directory_symlink(".", tree.root() + "/r\x1b[2J");
       },
       {"--root=r\x1b[2J"},
       "r\\x1b[2J/usr/share/zembril/declarations/pk~: passed over"},
      // The declaration's fault quotes the field escaped once, not twice.
      {"a declaration's field",
       [](const tScratchTree& tree) {
         writeFile(declarationsOf(tree) + "/local", "64 U Local /l.so\r\n");
       },
       {},
       "\"/l.so\\x0d\"; the bindings"},
  };
  for (const Case& c : cases) {
    tScratchTree tree;
    declare(tree, {{"pk", "64 U Admin /a.so\n"}});
    c.setUp(tree);
    Args command = {
        "sh", "-c", "exec \"$@\" 2>&1", "sh", ZEMBRIL_SYNC_BINARY, "--root=" + tree.root()};
    for (const std::string& option : c.options) {
      // A root given again is one inside the tree.
      command.push_back(option.starts_with("--root=")
                            ? "--root=" + tree.root() + "/" + option.substr(7)
                            : option);
    }
    const std::string output = runCommand(command).output;
    EXPECT_NE(output.find(c.expected), std::string::npos) << c.what << ":\n" << output;
    EXPECT_EQ(output.find('\x1b'), std::string::npos) << c.what;
  }
}

// One installation history, a step at a time, on one tree that starts with
// an administrator's binding.
TEST(Sync, DeclaredBindingsFollowTheirDeclarationsAndNothingElseMoves) {
  tScratchTree tree;
  std::filesystem::create_directories(tree.root() + "/var/lib");
  for (const char* library :
       {"/usr/lib64/libw.so.1", "/usr/lib64/libw.so.2", "/a.so", "/z.so", "/up.so"})
    writeFile(tree.root() + library, "");
  ASSERT_EQ(runTool(tree, {"/x64", "/U", "/add", "Admin", "/opt/own.so"}).exitStatus, 0);
  const std::string widget1 = "64 U W /usr/lib*/libw.so.1\n64 K Map<int,W> /usr/lib*/libw.so.1\n";
  struct Step {
    const char* what;
    tFiles files;
    std::string map;      // the 64-bit map after the run
    std::string notices;  // a regular expression for the output
    int exitStatus = 0;
    Args command = {};  // an administrator's zembril command before the run
    Args options = {};  // zembril-sync's options
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
      {"any name a package manager allows declares; files passed over are named once a run",
       {{"a-rival", "64 U W /a.so\n"},
        {"Lib_W@2.x:i686", "64 K Up /up.so\n32 K Up /up.so\n"},
        {"lib%w", "64 K Bad /bad.so\n32 K Bad /bad.so\n"},
        {"a-rival.rpmnew", "64 K New /new.so\n"},
        {"a-rival~", "64 K Old /old.so\n"}},
       kAdmin + "U\tW\t/a.so\nK\tUp\t/up.so\n",
       "zembril-sync: .*/declarations/a-rival~: passed over: a copy that patch or an editor "
       "keeps aside\n"
       "zembril-sync: .*/declarations/lib%w: passed over: no package can have this name\n"},
      {"a declaration that does not parse holds its bindings; the others go on",
       {{"a-rival", "64 U W\n"}, {"libw1.orig", "64 U Stray /s.so\n"}, {"z-new", "64 K Z /z.so\n"}},
       kAdmin + "U\tW\t/a.so\nK\tZ\t/z.so\n",
       "zembril-sync: .*/declarations/libw1.orig: passed over: a copy that patch or an editor "
       "keeps aside\n"
       "zembril-sync: .*/declarations/a-rival:1: expected 4 fields \\(map, scope, class, "
       "library\\), found 3; the bindings it made stay as they are until it is fixed and "
       "zembril-sync runs again\n"},
      {"unbound by hand: it stays unbound, with one notice",
       {{"a-rival", "64 U W /a.so\n"}},
       kAdmin,
       "zembril-sync: 64-bit U map: W was unbound by hand: no declaration binds it again until "
       "it is bound by hand or handed back with 'zembril-sync --hand-back=W'\n",
       0,
       {"/x64", "/U", "/delete", "W"}},
      {"still unbound, and quiet", {{"a-rival", "64 U W /a.so\n"}}, kAdmin, ""},
      {"handed back",
       {{"a-rival", "64 U W /a.so\n"}},
       kAdmin + "U\tW\t/a.so\n",
       "zembril-sync: 64-bit U map: W is handed back to the declarations\n",
       0,
       {},
       {"--hand-back=W"}},
      {"unbound by hand and handed back on the run that first finds it unbound",
       {{"a-rival", "64 U W /a.so\n"}},
       kAdmin + "U\tW\t/a.so\n",
       "zembril-sync: 64-bit U map: W is handed back to the declarations\n",
       0,
       {"/x64", "/U", "/delete", "W"},
       {"--hand-back=W"}},
      {"removal", {}, kAdmin, ""},
  };
  for (const Step& step : steps) {
    declare(tree, step.files);
    if (!step.command.empty()) {
      ASSERT_EQ(runTool(tree, step.command).exitStatus, 0) << step.what;
    }
    Args wrapper;
    if (!step.options.empty()) {
      wrapper = {"sh", "-c", "exec \"$@\" " + step.options.front(), "sh"};
    }
    const tRunResult run = sync(tree, wrapper);
    EXPECT_EQ(run.exitStatus, step.exitStatus) << step.what;
    EXPECT_TRUE(std::regex_match(run.output, std::regex(step.notices))) << step.what << ":\n"
                                                                        << run.output;
    EXPECT_EQ(map64(tree), step.map) << step.what;
  }
  // Nothing declared is left recorded, and the 32-bit map was never touched.
  EXPECT_EQ(record64(tree), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(tree.mapFile(false)));
}

// A declared binding whose library is not there stays, and each run says
// so once; no other binding is judged.
TEST(Sync, ABindingWhoseLibraryIsGoneStaysAndEachRunSaysSo) {
  tScratchTree tree;
  ASSERT_EQ(runTool(tree, {"/x64", "/U", "/add", "Admin", "/opt/gone.so"}).exitStatus, 0);
  writeFile(tree.root() + "/here.so", "");
  std::filesystem::create_directories(tree.root() + "/usr/lib64");
  // Inside the root, this link leads to /here.so there.
  std::filesystem::create_symlink("/here.so", tree.root() + "/usr/lib64/libl.so");
  // The rival's declaration loses, and binds nothing whose library could be missing.
  declare(tree, {{"libw1", "64 U W /usr/lib*/libw.so.1\n64 U L /usr/lib*/libl.so\n"},
                 {"rival", "64 U W /rival.so\n"}});
  const std::string map =
      "U\tAdmin\t/opt/gone.so\nU\tL\t/usr/lib64/libl.so\nU\tW\t/usr/lib64/libw.so.1\n";
  const std::string notice =
      "zembril-sync: 64-bit U map: W is bound to /usr/lib64/libw.so.1 as libw1 declares, but no "
      "regular file is there; the binding stays\n";
  for (int run = 0; run < 2; ++run) {
    const tRunResult synced = sync(tree);
    EXPECT_EQ(synced.exitStatus, 0);
    const std::string lost =
        "zembril-sync: 64-bit U map: W stays bound to /usr/lib64/libw.so.1, "
        "as libw1 declares; rival declares /rival.so\n";
    EXPECT_EQ(synced.output, (run == 0 ? lost : "") + notice) << "run " << run;
    EXPECT_EQ(map64(tree), map) << "run " << run;
  }
  writeFile(tree.root() + "/usr/lib64/libw.so.1", "");
  EXPECT_EQ(sync(tree).output, "");
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
  const auto expectedRecord = record64(clean);
  ASSERT_TRUE(expectedRecord);
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
      EXPECT_EQ(record64(tree), expectedRecord) << inject;
    }
  }
  std::cout << "[ killed   ] at " << killPoints << " system calls\n";
  EXPECT_GT(killPoints, 20);
}

// The table that dh_zembril's tests read too.
TEST(Sync, DeclarationGrammar) {
  const std::optional<std::string> table = readFile(ZEMBRIL_DECLARATION_LINES);
  ASSERT_TRUE(table);
  const auto unescape = [](std::string_view escaped) {
    std::string bytes;
    for (std::size_t at = 0; at < escaped.size(); ++at) {
      if (escaped[at] != '\\' || at + 1 == escaped.size()) {
        bytes += escaped[at];
        continue;
      }
      const char code = escaped[++at];
      if (code == 'x') {
        bytes += static_cast<char>(std::stoi(std::string(escaped.substr(at + 1, 2)), nullptr, 16));
        at += 2;
      } else {
        bytes += code == 'n' ? '\n' : code == 't' ? '\t' : code;
      }
    }
    return bytes;
  };
  std::istringstream lines(*table);
  int cases = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line.starts_with('#')) continue;
    const std::size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const tResult<std::vector<tDeclaration>> parsed =
        parseDeclarations(unescape(line.substr(0, tab)), "p");
    EXPECT_EQ(parsed ? "ok " + std::to_string(parsed->size()) : parsed.failure().message(),
              line.substr(tab + 1))
        << line.substr(0, tab);
    ++cases;
  }
  EXPECT_GT(cases, 10);
}

TEST(Sync, DeclarationNames) {
  using enum tDeclarationName;
  const std::pair<const char*, tDeclarationName> cases[] = {
      {"libw1", declaration},
      {"libw1:amd64", declaration},
      {"libX11", declaration},
      {"lib_gadget", declaration},
      {"lib@gadget", declaration},
      {"g++-12", declaration},
      {"libmulti:x86_64", declaration},
      {"x", declaration},
      {"libw1.dpkg-new", leftover},
      {"libw1.ucf-dist", leftover},
      {"libw1.rpmnew", leftover},
      {"libw1.pacsave", leftover},
      {"libw1.orig", keptAside},
      {"libw1~", keptAside},
      {".libw1.swp", keptAside},
      {"libw1:", foreign},
      {".libw1", foreign},
      {"-libw1", foreign},
      {"lib w1", foreign},
      {"libw1:amd64:i386", foreign},
  };
  for (const auto& [name, kind] : cases) EXPECT_EQ(classifyDeclarationName(name), kind) << name;
}

// planSync on a map given as a table: each case the declarations, the record
// and the map before, and the steps, the record after and the notices.
TEST(Sync, PlanSync) {
  using enum tRecordState;
  const auto declaration = [](const char* package, const char* className, const char* library) {
    return tDeclaration{true, 0, className, library, package};
  };
  const auto line = [](tRecordState state, const char* className, const char* library,
                       const char* package) {
    return tRecordedBinding{0, className, library, package, state};
  };
  const auto bind = [](const char* className, const char* library) {
    return tSyncStep{true, 0, className, library};
  };
  struct Case {
    const char* what;
    std::vector<tDeclaration> declared;
    tRecord recorded;
    std::map<std::string, std::string> map;  // U map: class, library
    std::set<std::string> held;
    std::vector<tSyncStep> steps;
    tRecord record;
    tRecord before = {};  // when there are steps
    std::size_t notices = 0;
  } cases[] = {
      {"a held package keeps its binding against a rival, which loses quietly the second time",
       {declaration("b", "W", "/b.so")},
       {line(bound, "W", "/a.so", "a"), line(lost, "W", "/b.so", "b")},
       {{"W", "/a.so"}},
       {"a"},
       {},
       {line(bound, "W", "/a.so", "a"), line(lost, "W", "/b.so", "b")}},
      {"a held package's class that is no longer in the map is not its own any more",
       {declaration("b", "W", "/b.so")},
       {line(binding, "W", "/a.so", "a")},
       {},
       {"a"},
       {bind("W", "/b.so")},
       {line(bound, "W", "/b.so", "b")},
       {line(binding, "W", "/b.so", "b"), line(unbinding, "W", "/a.so", "a")}},
      {"bound when the last run ended, unbound now: an administrator's, held unbound",
       {declaration("a", "W", "/a.so")},
       {line(bound, "W", "/a.so", "a")},
       {},
       {},
       {},
       {line(unbound, "W", "/a.so", "a")},
       {},
       1},
      {"held unbound stays so, quietly, whoever declares it",
       {declaration("b", "W", "/b.so")},
       {line(unbound, "W", "/a.so", "a")},
       {},
       {},
       {},
       {line(unbound, "W", "/a.so", "a")}},
      {"bound by hand after that: the administrator's, and the mark goes",
       {declaration("a", "W", "/a.so")},
       {line(unbound, "W", "/a.so", "a")},
       {{"W", "/a.so"}},
       {},
       {},
       {}},
      {"a run stopped after unbinding for a package now gone: a new declaration binds",
       {declaration("b", "W", "/b.so")},
       {line(unbinding, "W", "/a.so", "a")},
       {},
       {},
       {bind("W", "/b.so")},
       {line(bound, "W", "/b.so", "b")},
       {line(binding, "W", "/b.so", "b"), line(unbinding, "W", "/a.so", "a")}},
      {"a package whose file cannot be read: an unbind by hand is held, what it lost stays",
       {},
       {line(bound, "W", "/a.so", "a"), line(lost, "X", "/a.so", "a")},
       {{"X", "/own.so"}},
       {"a"},
       {},
       {line(unbound, "W", "/a.so", "a"), line(lost, "X", "/a.so", "a")},
       {},
       1},
      {"a conflict with the administrator's binding is reported once, and forgotten when it ends",
       {declaration("a", "W", "/a.so"), declaration("b", "X", "/b.so")},
       {line(lost, "X", "/b.so", "b")},
       {{"W", "/own.so"}, {"X", "/b.so"}},
       {},
       {},
       {line(lost, "W", "/a.so", "a")},
       {},
       1},
  };
  for (const Case& c : cases) {
    const tBoundLibrary bound = [&](tMapScope, const std::string& className) {
      const auto found = c.map.find(className);
      return found == c.map.end() ? std::nullopt : std::optional<std::string>(found->second);
    };
    const tSyncPlan plan = planSync(c.declared, c.recorded, c.held, bound, "64-bit");
    EXPECT_EQ(plan.steps, c.steps) << c.what;
    const auto sorted = [](tRecord record) {
      std::sort(record.begin(), record.end());
      return formatRecord(record);
    };
    EXPECT_EQ(formatRecord(plan.record), sorted(c.record)) << c.what;
    EXPECT_EQ(formatRecord(plan.before), sorted(c.steps.empty() ? c.recorded : c.before)) << c.what;
    EXPECT_EQ(plan.notices.size(), c.notices) << c.what;
  }
}

// The bindings of a damaged map file that the sync's own load keeps aside
// were lost to the damage, not unbound by hand: the declarations bind them
// again. A class an administrator unbound before stays unbound.
TEST(Sync, ADamagedMapFileKeptAsideIsBoundAgain) {
  tScratchTree tree;
  writeFile(tree.root() + "/w.so", "");
  writeFile(tree.root() + "/v.so", "");
  declare(tree, {{"libw1", "64 U W /w.so\n64 U V /v.so\n"}});
  ASSERT_EQ(sync(tree).exitStatus, 0);
  ASSERT_EQ(runTool(tree, {"/x64", "/U", "/delete", "V"}).exitStatus, 0);
  ASSERT_EQ(sync(tree).exitStatus, 0);
  writeFile(tree.mapFile(true), "not a map file");
  const tRunResult synced = sync(tree);
  EXPECT_EQ(synced.exitStatus, 0);
  EXPECT_NE(synced.output.find("was damaged and is kept aside"), std::string::npos)
      << synced.output;
  EXPECT_EQ(synced.output.find("unbound by hand"), std::string::npos) << synced.output;
  EXPECT_EQ(map64(tree), "U\tW\t/w.so\n");
  EXPECT_EQ(sync(tree).output, "");
  EXPECT_EQ(map64(tree), "U\tW\t/w.so\n");
}

// A record that zembril-sync 1.2.0 kept under /var/lib moves beside the
// map, and its bindings go when their package does.
TEST(Sync, AnOlderRecordMovesBesideTheMap) {
  tScratchTree tree;
  std::filesystem::create_directories(tree.root() + "/var/lib/zembril");
  ASSERT_EQ(runTool(tree, {"/x64", "/U", "/add", "W", "/w.so"}).exitStatus, 0);
  writeFile(tree.root() + "/var/lib/zembril/declared64", "U W /w.so libw1\n");
  declare(tree, {{"libw1", "64 U W /w.so\n"}});
  ASSERT_EQ(sync(tree).exitStatus, 0);
  EXPECT_EQ(record64(tree), "bound U W /w.so libw1\n");
  EXPECT_FALSE(std::filesystem::exists(tree.root() + "/var/lib/zembril/declared64"));
  declare(tree, {});
  ASSERT_EQ(sync(tree).exitStatus, 0);
  EXPECT_EQ(map64(tree), "");
}

}  // namespace
}  // namespace nDRAVI100
