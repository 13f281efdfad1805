// The built tool itself, run on a private tree: what it prints, its exit
// status and the bytes it leaves in the map files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "persistentStorage/tMapPaths.h"
#include "testSupport.h"

namespace nDRAVI100 {
namespace {

using testing::copyMarkFor;
using testing::encodeMapFile;
using testing::readFile;
using testing::runTool;
using testing::tScratchTree;
using testing::writeFile;

using Args = std::vector<std::string>;

constexpr const char* kUsageFailure = "\tOperation Failed!\n\tStatus on exit was -88361.\n";

class EndToEnd : public ::testing::Test {
 protected:
  testing::tRunResult run(const Args& arguments) { return runTool(tree, arguments); }

  void expectRun(const Args& arguments, int exitStatus, const std::string& output) {
    const testing::tRunResult result = run(arguments);
    std::string shown;
    for (const auto& word : arguments) shown += "[" + word + "]";
    EXPECT_EQ(result.exitStatus, exitStatus) << shown;
    EXPECT_EQ(result.output, output) << shown;
  }

  std::string commandFile(const std::string& content) {
    std::string path = tree.root() + "/commands.txt";
    writeFile(path, content);
    return path;
  }

  tScratchTree tree;
};

TEST_F(EndToEnd, ReportLinesAndExitStatuses) {
  struct Case {
    Args arguments;
    int exitStatus;
    std::string output;
  } cases[] = {
      {{}, 255, kUsageFailure},
      {{"/U"}, 255, kUsageFailure},
      {{"/U", "/add", "A", "a", "x", "y"}, 255, kUsageFailure},
      {{"/file"}, 255, kUsageFailure},
      {{"/x64", "/file"}, 255, kUsageFailure},
      {{"/U", "/list"}, 0, ""},
      {{"/U", "/lookup", "Missing"}, 0, ""},
      {{"/U", "/add", "A", "/lib/a.so"}, 0, ""},
      {{"/U", "/add", "A", "/lib/other.so"}, 1, "\tWarning generated: 88360\n"},
      {{"/u", "/lookup", "A"}, 0, ""},
      {{"/k", "/lookuplib", "/lib/a.so"}, 0, ""},
      {{"/file", "/no/such/file"},
       255,
       "\tLoading from file '/no/such/file' failed!\n\tStatus on exit was -50204.\n"},
      {{"/x64", "/file", "/no/such/file"},
       255,
       "\tOperation Failed!\n\tStatus on exit was -50204.\n"},
      {{"/file", ""}, 255, "\tLoading from file '' failed!\n\tStatus on exit was -50204.\n"},
  };
  for (const Case& c : cases) expectRun(c.arguments, c.exitStatus, c.output);
  EXPECT_EQ(readFile(tree.mapFile()), encodeMapFile({{"A", "/lib/a.so"}}, {}));
}

TEST_F(EndToEnd, ProgramNameIsNeverACommandWord) {
  for (const char* name : {"/file", "/U", "/x64", ""}) {
    const testing::tRunResult result = runTool(tree, {"/K", "/add", "C", "c"}, {}, name);
    runTool(tree, {"/K", "/reset"}, {}, name);
    EXPECT_EQ(result.exitStatus, 0) << name;
    EXPECT_EQ(result.output, "") << name;
    const testing::tRunResult shifted = runTool(tree, {"/U", "/list", "x"}, {}, name);
    EXPECT_EQ(shifted.output, kUsageFailure) << name;
  }
  EXPECT_FALSE(readFile(tree.mapFile()).has_value());
}

TEST_F(EndToEnd, BindingsPersistPerBitnessAndScope) {
  expectRun({"/x64", "/U", "/add", "Cls", "/usr/lib*/x.so"}, 0, "");
  expectRun({"/U", "/add", "Cls", "/usr/lib*/x.so"}, 0, "");
  expectRun({"/K", "/add", "K<a,b>", "/lib*/**"}, 0, "");
  expectRun({"/S", "/add", "Session", "/s.so"}, 0, "");
  EXPECT_EQ(readFile(tree.mapFile(true)), encodeMapFile({{"Cls", "/usr/lib64/x.so"}}, {}));
  EXPECT_EQ(readFile(tree.mapFile(false)),
            encodeMapFile({{"Cls", "/usr/lib32/x.so"}}, {{"K<a,b>", "/lib32/**"}}));

  // A second run sees the first run's binding; sMap is gone.
  expectRun({"/x64", "/U", "/add", "Cls", "/elsewhere.so"}, 1, "\tWarning generated: 88360\n");
  expectRun({"/S", "/add", "Session", "/t.so"}, 0, "");

  expectRun({"/K", "/deletelib", "/lib*/**"}, 0, "");
  expectRun({"/U", "/delete", "Cls"}, 0, "");
  EXPECT_FALSE(readFile(tree.mapFile(false)).has_value()) << "empty maps leave no file";
  expectRun({"/x64", "/u", "/reset"}, 0, "");
  EXPECT_FALSE(readFile(tree.mapFile(true)).has_value());
  EXPECT_EQ(testing::listDirectory(tree.mapDirectory()), Args{});
}

TEST_F(EndToEnd, DirectoryFileChoosesTheMapDirectory) {
  // The named directory is inside the root, whether the name is absolute or not.
  const std::string elsewhere = tree.root() + "/opt/classes";
  std::filesystem::create_directories(elsewhere + "/etc");
  writeFile(tree.directoryFile(), "/opt/classes/\nignored second line\n");
  expectRun({"/U", "/add", "A", "a"}, 0, "");
  EXPECT_EQ(readFile(elsewhere + "/etc/dravimap"), encodeMapFile({{"A", "a"}}, {}));
  EXPECT_FALSE(readFile(tree.mapFile()).has_value());
  writeFile(tree.directoryFile(), "opt/classes\n");
  expectRun({"/U", "/add", "B", "b"}, 0, "");
  EXPECT_EQ(readFile(elsewhere + "/etc/dravimap"), encodeMapFile({{"A", "a"}, {"B", "b"}}, {}));

  // A directory that does not exist is never created.
  writeFile(tree.directoryFile(), "/missing\n");
  expectRun({"/U", "/add", "A", "a"}, 255, "\tOperation Failed!\n\tStatus on exit was -50204.\n");
  expectRun({"/U", "/list"}, 0, "");
  EXPECT_FALSE(std::filesystem::exists(tree.root() + "/missing"));

  // No file can be at a path longer than the system allows: no map file.
  writeFile(tree.directoryFile(), "/" + std::string(5000, 'x') + "\n");
  expectRun({"/U", "/list"}, 0, "");
  expectRun({"/U", "/add", "A", "a"}, 255, "\tOperation Failed!\n\tStatus on exit was -50204.\n");
}

// An image is resolved as a chroot resolves it: no "..", absolute link or
// climbing link in it leads to the host's files, here a host map directory
// beside it; an absolute link that stays inside leads where it leads in the
// image.
TEST_F(EndToEnd, AnImageCannotLeadOutOfItsRoot) {
  const tScratchTree host;
  std::string climb;
  for (int n = 0; n < 20; ++n) climb += "../";
  const struct {
    const char* what;
    std::string directoryLine;  // the directory file's first line, when not empty
    std::string link;           // what the fallback map directory is a link to, when not empty
    std::string insideImage;    // where the map then lies in the image, when it is made
  } cases[] = {
      {"the directory file climbs out", "/../../.." + host.root() + "/usr/local/tolvane/.mirtal",
       "", ""},
      {"an absolute link to the host", "", host.mapDirectory(), ""},
      {"a link that climbs", "", climb + host.mapDirectory().substr(1), ""},
      {"an absolute link inside the image", "", "/opt/maps", "/opt/maps"},
  };
  for (const auto& c : cases) {
    const tScratchTree image(false);
    if (!c.directoryLine.empty()) writeFile(image.directoryFile(), c.directoryLine + "\n");
    if (!c.link.empty()) {
      std::filesystem::create_directories(image.root() + "/opt/maps");
      std::filesystem::create_directories(
          std::filesystem::path(image.mapDirectory()).parent_path());
      ASSERT_EQ(::symlink(c.link.c_str(), image.mapDirectory().c_str()), 0) << c.what;
    }
    const testing::tRunResult result = runTool(image, {"/U", "/add", "A", "/a.so"});
    EXPECT_EQ(testing::listDirectory(host.mapDirectory()), Args{}) << c.what;
    if (c.insideImage.empty()) {
      EXPECT_EQ(result.exitStatus, 255) << c.what;
    } else {
      EXPECT_EQ(result.exitStatus, 0) << c.what;
      EXPECT_EQ(readFile(image.root() + c.insideImage + "/dravimap"),
                encodeMapFile({{"A", "/a.so"}}, {}))
          << c.what;
    }
  }
}

// An image being built in a chroot may have no /proc: a file found by
// O_PATH is then opened by name again.
// The sanitizer's runtime reads /proc itself: a run with a /proc of the
// test's making tells nothing there.
using testing::kUnderAddressSanitizer;

TEST_F(EndToEnd, WorksWithoutProc) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can hide /proc in a namespace of its own";
  if (kUnderAddressSanitizer) GTEST_SKIP() << "the sanitizer's runtime reads /proc itself";
  const Args withoutProc = {
      "timeout", "20", "unshare", "-m", "sh", "-c", "mount -t tmpfs none /proc && exec \"$@\"",
      "sh"};
  writeFile(tree.mapFile(), encodeMapFile({{"A", "/a.so"}}, {}));
  const testing::tRunResult added = runTool(tree, {"/U", "/add", "B", "/b.so"}, withoutProc);
  EXPECT_EQ(added.exitStatus, 0) << added.output;
  EXPECT_EQ(readFile(tree.mapFile()), encodeMapFile({{"A", "/a.so"}, {"B", "/b.so"}}, {}));
}

// A /proc that is no kernel's (an image's own directory, say) may name any
// file under /proc/self/fd: every descriptor number there leads to another
// map file here, and the run must read and lock only the files at its own
// paths.
TEST_F(EndToEnd, AProcThatNamesOtherFilesIsNotBelieved) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can cover /proc in a namespace of its own";
  if (kUnderAddressSanitizer) GTEST_SKIP() << "the sanitizer's runtime reads /proc itself";
  const std::string decoy = tree.root() + "/decoy";
  writeFile(decoy, encodeMapFile({{"Decoy", "/decoy.so"}}, {}));
  const std::string fillProc =
      "mount -t tmpfs none /proc && mkdir -p /proc/self/fd && "
      "for n in $(seq 0 63); do cp \"$0\" /proc/self/fd/$n || exit 99; done && exec \"$@\"";
  const Args withOtherProc = {"timeout", "20", "unshare", "-m", "sh", "-c", fillProc, decoy};
  writeFile(tree.mapFile(), encodeMapFile({{"A", "/a.so"}}, {}));
  // Once with the lock file made by the run, once with the one it left.
  for (const char* name : {"B", "C"}) {
    const testing::tRunResult added = runTool(tree, {"/U", "/add", name, "/b.so"}, withOtherProc);
    EXPECT_EQ(added.exitStatus, 0) << added.output;
  }
  EXPECT_EQ(readFile(tree.mapFile()),
            encodeMapFile({{"A", "/a.so"}, {"B", "/b.so"}, {"C", "/b.so"}}, {}));
}

TEST_F(EndToEnd, DamagedMapFileIsRecoveredOrSetAside) {
  const std::string tmp = tree.mapFile() + ".tmp";
  const std::string damaged = tree.mapFile() + ".damaged";
  const std::string saved = encodeMapFile({{"Saved", "/s.so"}}, {{"K", "/k.so"}});
  const std::string healthy = encodeMapFile({{"Old", "/o.so"}}, {});
  // As long as `saved`, byte for byte, but other bytes: only the digest
  // tells it from the file the mark names.
  const std::string sameSize = encodeMapFile({{"Saved", "/t.so"}}, {{"K", "/k.so"}});
  struct Case {
    const char* what;
    std::optional<std::string> mapFile;
    std::optional<std::string> temporaryFile;
    std::optional<std::string> mapFileAfter;
    std::optional<std::string> damagedAfter;
  } cases[] = {
      {"empty file, no temporary file", "", std::nullopt, std::nullopt, ""},
      {"wrong magic", std::string("dmf \1\0\0\0", 8), std::nullopt, std::nullopt,
       std::string("dmf \1\0\0\0", 8)},
      {"version 2", std::string(" fmd\2\0\0\0\0\0\0\0\0\0\0\0", 16), std::nullopt, std::nullopt,
       std::string(" fmd\2\0\0\0\0\0\0\0\0\0\0\0", 16)},
      // Only the copy mark makes a temporary file the one to finish from;
      // any other was left by a run that never committed, whatever befell
      // the map file since.
      {"copy cut short after the mark", copyMarkFor(saved) + healthy.substr(24), saved, saved,
       std::nullopt},
      {"copy cut short before the head", copyMarkFor(saved) + saved.substr(24), saved, saved,
       std::nullopt},
      {"marked for other bytes", copyMarkFor(healthy) + saved.substr(24), saved, std::nullopt,
       copyMarkFor(healthy) + saved.substr(24)},
      {"marked for other bytes of the same size", copyMarkFor(sameSize) + saved.substr(24), saved,
       std::nullopt, copyMarkFor(sameSize) + saved.substr(24)},
      {"marked, temporary file gone", copyMarkFor(saved), std::nullopt, std::nullopt,
       copyMarkFor(saved)},
      {"cut short, complete temporary file", saved.substr(0, 9), saved, std::nullopt,
       saved.substr(0, 9)},
      {"empty, complete temporary file", "", saved, std::nullopt, ""},
      {"healthy, complete temporary file", healthy, saved, healthy, std::nullopt},
      {"absent, complete temporary file", std::nullopt, saved, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(tree.mapDirectory());
    std::filesystem::create_directories(tree.mapDirectory());
    if (c.mapFile) writeFile(tree.mapFile(), *c.mapFile);
    if (c.temporaryFile) writeFile(tmp, *c.temporaryFile);
    // A query changes no binding, but recovers all the same: what it
    // leaves is what the plan says.
    expectRun({"/U", "/list"}, 0, "");
    EXPECT_EQ(readFile(tree.mapFile()), c.mapFileAfter) << c.what;
    EXPECT_EQ(readFile(damaged), c.damagedAfter) << c.what;
    EXPECT_FALSE(readFile(tmp).has_value()) << c.what;
  }
  std::filesystem::remove(tmp);
  // A link in the temporary file's place was not left by a run.
  const std::string elsewhere = tree.root() + "/elsewhere";
  writeFile(elsewhere, saved);
  writeFile(tree.mapFile(), "");
  ASSERT_EQ(::symlink(elsewhere.c_str(), tmp.c_str()), 0);
  expectRun({"/U", "/list"}, 0, "");
  EXPECT_FALSE(readFile(tree.mapFile()).has_value());
  EXPECT_EQ(readFile(elsewhere), saved);

  // A failing run still sets a damaged file aside, beside the older one.
  writeFile(tree.mapFile(), " fmd");
  expectRun({"/U", "/add", "X"}, 255, kUsageFailure);
  EXPECT_EQ(readFile(tree.mapFile()), " fmd") << "usage errors read no file";
  expectRun({"/file", "/no/such/file"}, 255,
            "\tLoading from file '/no/such/file' failed!\n\tStatus on exit was -50204.\n");
  EXPECT_FALSE(readFile(tree.mapFile()).has_value());
  EXPECT_EQ(readFile(damaged), "");
  EXPECT_EQ(readFile(tMapPaths::damagedNameFor(tree.mapFile(), 1)), " fmd");
}

// What a run leaves of the map file: its inode, times and bytes.
struct tFileState {
  ino_t inode = 0;
  timespec modified{};
  std::optional<std::string> bytes;
  bool operator==(const tFileState& other) const {
    return inode == other.inode && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec && bytes == other.bytes;
  }
};

tFileState stateOf(const std::string& path) {
  tFileState state;
  struct stat file {};
  if (::stat(path.c_str(), &file) == 0) {
    state.inode = file.st_ino;
    state.modified = file.st_mtim;
  }
  state.bytes = readFile(path);
  return state;
}

TEST_F(EndToEnd, ARunWhoseMapsEndAsLoadedWritesNothing) {
  const std::string asWritten = encodeMapFile({{"A", "/a.so"}, {"B", "/b.so"}}, {{"K", "/k.so"}});
  struct Case {
    std::optional<std::string> mapFile;
    Args arguments;
    int exitStatus;
    std::optional<std::string> rewrittenAs;  // what a run that must save leaves
  } cases[] = {
      {asWritten, {"/U", "/lookup", "A"}, 0, {}},
      {asWritten, {"/U", "/lookuplib", "/a.so"}, 0, {}},
      {asWritten, {"/K", "/list"}, 0, {}},
      {asWritten, {"/U", "/delete", "Missing"}, 0, {}},
      {asWritten, {"/U", "/deletelib", "/none.so"}, 0, {}},
      {asWritten, {"/U", "/add", "A", "/other.so"}, 1, {}},
      {asWritten, {"/S", "/add", "A", "/s.so"}, 0, {}},
      // Changes that undo each other, as every reinstall's delete and add.
      {asWritten, {"/file", "U,delete,A\nU,add,A,/a.so\nK,add,New,/n.so\nK,delete,New\n"}, 0, {}},
      {std::nullopt, {"/file", "U,add,A,/a.so\nU,reset\n"}, 0, {}},
      // A file the save would write otherwise is mended by any run.
      {asWritten + "tail", {"/U", "/lookup", "A"}, 0, asWritten},
      {encodeMapFile({{"B", "/b.so"}, {"A", "/a.so"}, {"A", "/a.so"}}, {{"K", "/k.so"}}),
       {"/U", "/list"},
       0,
       asWritten},
      {encodeMapFile({{"A", "/a.so"}, {std::string("B\0x", 3), "/b.so"}}, {{"K", "/k.so"}}),
       {"/K", "/list"},
       0,
       asWritten},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(tree.mapDirectory());
    std::filesystem::create_directories(tree.mapDirectory());
    if (c.mapFile) writeFile(tree.mapFile(), *c.mapFile);
    Args arguments = c.arguments;
    if (arguments[0] == "/file") arguments[1] = commandFile(arguments[1]);
    const tFileState before = stateOf(tree.mapFile());
    const testing::tRunResult result = run(arguments);
    EXPECT_EQ(result.exitStatus, c.exitStatus) << arguments[1];
    if (c.rewrittenAs) {
      EXPECT_EQ(readFile(tree.mapFile()), c.rewrittenAs) << arguments[1];
    } else {
      EXPECT_EQ(stateOf(tree.mapFile()), before) << arguments[1];
      EXPECT_EQ(testing::listDirectory(tree.mapDirectory()), c.mapFile ? Args{"dravimap"} : Args{})
          << arguments[1];
    }
  }
}

TEST_F(EndToEnd, ARunWithoutTheLockReadsButNeverWritesOrMends) {
  const std::string lockFile = tree.mapDirectory() + "/dravimap.lock";
  const std::string healthy = encodeMapFile({{"A", "/a.so"}}, {});
  // Each of these is no lock file only its owner can open, so a run cannot
  // hold the lock through it: as for a user who may not change the map.
  const std::vector<std::function<void()>> unsafeLockFiles = {
      [&] {
        writeFile(lockFile, "");
        ASSERT_EQ(::chmod(lockFile.c_str(), 0644), 0);
      },
      [&] { ASSERT_EQ(::symlink("/dev/null", lockFile.c_str()), 0); },
      [&] { ASSERT_EQ(::mkfifo(lockFile.c_str(), 0600), 0); },
      // Only its owner can open it, but a second name may stand in a
      // directory that others can change; in one that everyone may write,
      // it is not the run's to replace.
      [&] {
        writeFile(lockFile, "");
        ASSERT_EQ(::chmod(lockFile.c_str(), 0600), 0);
        ASSERT_EQ(::link(lockFile.c_str(), (lockFile + ".alias").c_str()), 0);
        ASSERT_EQ(::chmod(tree.mapDirectory().c_str(), 0777), 0);
      },
  };
  const std::string cannotOpen = "\tOperation Failed!\n\tStatus on exit was -50204.\n";
  for (std::size_t form = 0; form < unsafeLockFiles.size(); ++form) {
    std::filesystem::remove_all(tree.mapDirectory());
    std::filesystem::create_directories(tree.mapDirectory());
    unsafeLockFiles[form]();
    writeFile(tree.mapFile(), healthy + "tail");
    const tFileState before = stateOf(tree.mapFile());
    const testing::tRunResult query = runTool(tree, {"/U", "/lookup", "A"}, {"timeout", "20"});
    EXPECT_EQ(query.exitStatus, 0) << form;
    const testing::tRunResult change = run({"/U", "/add", "B", "/b.so"});
    EXPECT_EQ(change.exitStatus, 255) << form;
    EXPECT_EQ(change.output, cannotOpen) << form;
    EXPECT_EQ(stateOf(tree.mapFile()), before) << form << ": not mended without the lock";
    // A command file whose adds all find their classes bound changes
    // nothing, and so has nothing it would have to write without the lock.
    const testing::tRunResult bound =
        run({"/file", commandFile("U,add,A,/other.so\nU,add,A,/a.so\n")});
    EXPECT_EQ(bound.exitStatus, 0) << form;
    EXPECT_EQ(stateOf(tree.mapFile()), before) << form << ": bound adds wrote";

    writeFile(tree.mapFile(), "damaged");
    expectRun({"/U", "/list"}, 255, "\tOperation Failed!\n\tStatus on exit was -50257.\n");
    EXPECT_EQ(readFile(tree.mapFile()), "damaged") << form << ": set aside without the lock";
  }
}

// A second name is all that is wrong with it: in the run's own map
// directory the lock file is made afresh, and the other name keeps the old.
TEST_F(EndToEnd, ALockFileWithASecondLinkIsReplaced) {
  const std::string lockFile = tree.mapDirectory() + "/dravimap.lock";
  const std::string alias = tree.root() + "/alias";
  writeFile(lockFile, "");
  ASSERT_EQ(::chmod(lockFile.c_str(), 0600), 0);
  ASSERT_EQ(::link(lockFile.c_str(), alias.c_str()), 0);
  expectRun({"/U", "/add", "B", "/b.so"}, 0, "");
  EXPECT_EQ(readFile(tree.mapFile()), encodeMapFile({{"B", "/b.so"}}, {}));
  struct stat lock {};
  struct stat other {};
  ASSERT_EQ(::stat(lockFile.c_str(), &lock), 0);
  ASSERT_EQ(::stat(alias.c_str(), &other), 0);
  EXPECT_EQ(lock.st_nlink, 1u);
  EXPECT_EQ(other.st_nlink, 1u);
  EXPECT_NE(lock.st_ino, other.st_ino);
  EXPECT_EQ(lock.st_mode & 07777, 0600u);
}

// A run without a root, in a mount namespace of its own whose /etc is an
// overlay that vanishes with it: the directory file there names `named`.
// The tool runs under `wrapper` when one is given.
testing::tRunResult runOnThisSystem(const tScratchTree& tree, const std::string& named,
                                    const Args& arguments, bool othersOwnDirectoryFile = false,
                                    const Args& wrapper = {}) {
  const std::string script =
      "mount --make-rprivate / && mkdir -p \"$1/o/u\" \"$1/o/w\" && "
      "mount -t overlay overlay -o \"lowerdir=/etc,upperdir=$1/o/u,workdir=$1/o/w\" /etc && "
      "mkdir -p /etc/tolvane/.mirtal && printf %s \"$2\" >/etc/tolvane/.mirtal/mirtal.dir && "
      "if [ \"$3\" = yes ]; then chown 1000 /etc/tolvane/.mirtal/mirtal.dir; fi && "
      "shift 3 && exec \"$@\"";
  Args command = {"timeout",
                  "20",
                  "unshare",
                  "-m",
                  "sh",
                  "-c",
                  script,
                  "sh",
                  tree.root() + "/ns",
                  named,
                  othersOwnDirectoryFile ? "yes" : "no"};
  command.insert(command.end(), wrapper.begin(), wrapper.end());
  command.push_back(ZEMBRIL_BINARY);
  command.insert(command.end(), arguments.begin(), arguments.end());
  return testing::runCommand(command);
}

TEST_F(EndToEnd, RootNeverWritesWhereAnotherUserCanSteerIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give directories away and mount";
  const std::string top = tree.root() + "/way";
  struct Case {
    const char* what;
    std::function<void()> make;  // makes `top`/etc reachable as the case says
    bool refused;
    bool othersOwnDirectoryFile = false;
  } cases[] = {
      {"root's own way", [&] {}, false},
      {"a directory of uid 1000", [&] { ASSERT_EQ(::chown(top.c_str(), 1000, 1000), 0); }, true},
      {"a directory everyone may write", [&] { ASSERT_EQ(::chmod(top.c_str(), 0777), 0); }, true},
      {"a sticky one, the next name root's", [&] { ASSERT_EQ(::chmod(top.c_str(), 01777), 0); },
       false},
      {"one its group may write", [&] { ASSERT_EQ(::chmod(top.c_str(), 02775), 0); }, false},
      {"a link of uid 1000",
       [&] {
         std::filesystem::rename(top, top + ".real");
         ASSERT_EQ(::symlink((top + ".real").c_str(), top.c_str()), 0);
         ASSERT_EQ(::lchown(top.c_str(), 1000, 1000), 0);
       },
       true},
      {"a directory file of uid 1000", [&] {}, true, true},
      {"root's link in place of the map directory",
       [&] {
         std::filesystem::rename(top + "/etc", top + "/etc.real");
         ASSERT_EQ(::symlink("etc.real", (top + "/etc").c_str()), 0);
       },
       false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(tree.root() + "/ns");
    std::filesystem::remove_all(top);
    std::filesystem::remove_all(top + ".real");
    std::filesystem::create_directories(top + "/etc");
    ASSERT_EQ(::chmod(tree.root().c_str(), 0755), 0);
    writeFile(top + "/etc/dravimap", encodeMapFile({{"A", "/a.so"}}, {}));
    c.make();
    const std::string opens = tree.root() + "/opens.log";
    const testing::tRunResult query =
        runOnThisSystem(tree, top, {"/U", "/lookup", "A"}, c.othersOwnDirectoryFile,
                        {"strace", "-qq", "-e", "trace=open,openat", "-o", opens});
    EXPECT_EQ(query.exitStatus, 0) << c.what;
    // A file found where another user could steer the way is opened as the
    // very file found, through /proc/self/fd, so that nothing that user
    // puts at its name meanwhile is ever opened; elsewhere, by its name.
    EXPECT_EQ(readFile(opens).value_or("").find("\"/proc/self/fd/") != std::string::npos, c.refused)
        << c.what;
    const testing::tRunResult change =
        runOnThisSystem(tree, top, {"/U", "/add", "B", "/b.so"}, c.othersOwnDirectoryFile);
    if (c.refused) {
      EXPECT_EQ(change.exitStatus, 255) << c.what;
      EXPECT_EQ(change.output, "\tOperation Failed!\n\tStatus on exit was -50204.\n") << c.what;
      EXPECT_EQ(testing::listDirectory(top + "/etc"), Args{"dravimap"}) << c.what;
      EXPECT_FALSE(std::filesystem::exists(top + "/etc/dravimap.lock")) << c.what;
    } else {
      EXPECT_EQ(change.exitStatus, 0) << c.what << change.output;
      EXPECT_EQ(readFile(top + "/etc/dravimap"),
                encodeMapFile({{"A", "/a.so"}, {"B", "/b.so"}}, {}))
          << c.what;
    }
  }
}

TEST_F(EndToEnd, OnlyRegularFilesAreReadAtTheToolsPaths) {
  // A FIFO would make the run wait for a writer; the timeout turns a hang
  // into a failure.
  const Args timeout = {"timeout", "20"};
  ASSERT_EQ(::mkfifo(tree.mapFile().c_str(), 0644), 0);
  for (const Args& arguments : {Args{"/U", "/list"}, Args{"/U", "/add", "A", "/a.so"}}) {
    const testing::tRunResult result = runTool(tree, arguments, timeout);
    EXPECT_EQ(result.exitStatus, 255) << arguments[1];
    EXPECT_EQ(result.output, "\tOperation Failed!\n\tStatus on exit was -50207.\n");
    EXPECT_EQ(testing::listDirectory(tree.mapDirectory()), Args{"dravimap"}) << "never set aside";
  }
  std::filesystem::remove(tree.mapFile());

  // A directory file that is no regular file is an unreadable one: the
  // fallback map directory holds the map.
  std::filesystem::create_directories(std::filesystem::path(tree.directoryFile()).parent_path());
  ASSERT_EQ(::mkfifo(tree.directoryFile().c_str(), 0644), 0);
  EXPECT_EQ(runTool(tree, {"/U", "/add", "A", "/a.so"}, timeout).exitStatus, 0);
  EXPECT_EQ(readFile(tree.mapFile()), encodeMapFile({{"A", "/a.so"}}, {}));
}

TEST_F(EndToEnd, SaveKeepsOwnerAndGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  writeFile(tree.mapFile(), encodeMapFile({{"A", "a"}}, {}));
  ASSERT_EQ(::chown(tree.mapFile().c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(tree.mapFile().c_str(), 02640), 0);
  expectRun({"/U", "/lookup", "A"}, 0, "");
  struct stat after {};
  ASSERT_EQ(::stat(tree.mapFile().c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, 1234u);
  EXPECT_EQ(after.st_gid, 5678u);
  EXPECT_EQ(after.st_mode & 07777, 02640u);
}

TEST_F(EndToEnd, EmptiedMapsLeaveNoFileBehind) {
  writeFile(tree.mapFile(), encodeMapFile({{"Only", "o"}}, {}));
  writeFile(tree.mapFile() + ".tmp", "left by an unfinished run");
  expectRun({"/U", "/delete", "Only"}, 0, "");
  EXPECT_EQ(testing::listDirectory(tree.mapDirectory()), Args{});
}

TEST_F(EndToEnd, CommandFiles) {
  const std::string path = commandFile(
      "# installer for the example package\n"
      "U, add, Alpha, /usr/lib*/alpha.so\r\n"
      "\n"
      "   \t \n"
      "K,add,Map<int,Beta>,/usr/lib*/beta.so\n"
      "U,add,Alpha,/again.so\n"
      "S,add,Gamma,/gamma.so\n"
      "U,add,Delta,/d.so");
  expectRun({"/x64", "/file", path}, 0, "");
  EXPECT_EQ(readFile(tree.mapFile(true)),
            encodeMapFile({{"Alpha", "/usr/lib64/alpha.so"}, {"Delta", "/d.so"}},
                          {{"Map<int,Beta>", "/usr/lib64/beta.so"}}));
  expectRun({"/file", path, "ignored", "ignored", "ignored"}, 0, "");
  EXPECT_EQ(readFile(tree.mapFile(false)),
            encodeMapFile({{"Alpha", "/usr/lib32/alpha.so"}, {"Delta", "/d.so"}},
                          {{"Map<int,Beta>", "/usr/lib32/beta.so"}}));
}

// A command file of some megabytes, whose lines cross every boundary of the
// pieces it is read in, ends as its lines say taken one by one, in order:
// of two adds of one class the first wins, a delete takes the class away and
// a later add binds it again; one line is longer than a piece. The map it
// was run on is not empty, so that adds meet bindings read from the file.
TEST_F(EndToEnd, ALargeCommandFileEndsAsItsLinesSayInOrder) {
  std::map<std::string, std::string> u = {{"com.example.c7", "/old.so"}, {"zz.last", "/z.so"}};
  std::map<std::string, std::string> k;
  writeFile(tree.mapFile(), encodeMapFile({u.begin(), u.end()}, {}));
  std::string content;
  for (int line = 0; line < 30000; ++line) {
    const std::string className = "com.example.c" + std::to_string(line * 7919 % 9000) +
                                  std::string(static_cast<std::size_t>(line * 37 % 90), 'x');
    const std::string path = "/lib/" + std::to_string(line) + ".so";
    const bool kernel = line % 7 == 0;
    auto& map = kernel ? k : u;
    const std::string letter = kernel ? "K" : "U";
    if (line % 13 == 5) {
      content.append(letter).append(", delete, ").append(className).append("\n");
      map.erase(className);
    } else {
      content.append(letter).append(",add,").append(className).append(",\t").append(path).append(
          "\r\n");
      map.try_emplace(className, path);
    }
    if (line == 20000) {
      const std::string longName = "com.example.long" + std::string(std::size_t{3} << 19, 'y');
      content += "U,add," + longName + ",/long.so\n";
      u.try_emplace(longName, "/long.so");
    }
  }
  ASSERT_GT(content.size(), std::size_t{3} << 20);
  expectRun({"/file", commandFile(content)}, 0, "");
  EXPECT_TRUE(readFile(tree.mapFile()) ==
              encodeMapFile({u.begin(), u.end()}, {k.begin(), k.end()}));
}

TEST_F(EndToEnd, FailingCommandFileChangesNothing) {
  writeFile(tree.mapFile(), encodeMapFile({{"Old", "o"}}, {}));
  const std::string before = *readFile(tree.mapFile());
  struct Case {
    std::string content;
    std::string status;
  } cases[] = {
      {"U,add,A,a\nU,ADD,B,b\n", "-88361"},
      {"U,add,A,a\n  # indented\n", "-88361"},
      {"U,add,A,a\n/U,add,B,b\n", "-88361"},
      {"U,add,A,a\nU,add,B,b,c,d\n", "-88361"},
  };
  for (const Case& c : cases) {
    const std::string path = commandFile(c.content);
    expectRun(
        {"/file", path}, 255,
        "\tLoading from file '" + path + "' failed!\n\tStatus on exit was " + c.status + ".\n");
    EXPECT_EQ(readFile(tree.mapFile()), before) << c.content;
  }
  // A command file that cannot be read reports the read error line first;
  // so does one with a line that holds a NUL byte, which never joins the
  // next line, nor hides it in a comment.
  for (const std::string& content :
       {std::string(), std::string("U,add,A,/a\0\n/e\n", 14), std::string("#c\0\nU,add,A,/a\n", 15),
        std::string(254, 'x') + std::string("\0,y\n", 4)}) {
    const std::string path = content.empty() ? tree.root() : commandFile(content);
    expectRun({"/file", path}, 255,
              "zembril: File read error!\n\tLoading from file '" + path +
                  "' failed!\n\tStatus on exit was -1.\n");
    EXPECT_EQ(readFile(tree.mapFile()), before);
  }
}

}  // namespace
}  // namespace nDRAVI100
