// Installers that run at once must not lose each other's bindings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "testSupport.h"

namespace nDRAVI100 {
namespace {

using testing::runTool;
using testing::tScratchTree;

using Args = std::vector<std::string>;

constexpr int kInstallers = 8;
constexpr int kRunsEach = 25;

std::string className(int installer, int run) {
  return "Installer" + std::to_string(installer) + "::Class" + std::to_string(run);
}
std::string libraryPath(int installer) {
  return "/usr/lib/installer" + std::to_string(installer) + ".so";
}

// Runs `body` in a child process and returns its pid; the child's exit
// status is the number of runs that did not exit with 0.
template <typename Body>
pid_t spawn(Body body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(std::min(body(), 100));
  return child;
}

int waitFor(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
}

TEST(Concurrency, EveryInstallersBindingsSurvive) {
  tScratchTree tree;
  const std::string stop = tree.root() + "/stop";

  const pid_t lister = spawn([&] {
    int failures = 0;
    while (!std::filesystem::exists(stop))
      failures += runTool(tree, {"/U", "/list"}).exitStatus != 0;
    return failures;
  });
  std::vector<pid_t> installers;
  installers.reserve(kInstallers);
  for (int installer = 0; installer < kInstallers; ++installer) {
    installers.push_back(spawn([&, installer] {
      int failures = 0;
      for (int run = 0; run < kRunsEach; ++run) {
        testing::tRunResult result;
        if (run % 5 == 0) {
          // Some installers work through command files.
          const std::string path = tree.root() + "/commands" + std::to_string(installer);
          testing::writeFile(
              path, "U,add," + className(installer, run) + "," + libraryPath(installer) + "\n");
          result = runTool(tree, {"/file", path});
        } else {
          result = runTool(tree, {"/U", "/add", className(installer, run), libraryPath(installer)});
        }
        failures += result.exitStatus != 0 || !result.output.empty();
      }
      return failures;
    }));
  }
  for (pid_t installer : installers)
    EXPECT_EQ(waitFor(installer), 0) << "an installer's run failed";
  testing::writeFile(stop, "");
  EXPECT_EQ(waitFor(lister), 0) << "a listing run failed";

  const testing::tDecoded maps =
      testing::decodeMapFile(testing::readFile(tree.mapFile()).value_or(""));
  ASSERT_EQ(maps.status, 0);
  EXPECT_EQ(maps.uMap.size(), static_cast<std::size_t>(kInstallers * kRunsEach));
  for (int installer = 0; installer < kInstallers; ++installer) {
    for (int run = 0; run < kRunsEach; ++run) {
      EXPECT_EQ(maps.uMap.find(className(installer, run)), libraryPath(installer))
          << className(installer, run);
    }
  }
  EXPECT_EQ(testing::listDirectory(tree.mapDirectory()), std::vector<std::string>{"dravimap"});
}

// A save renames a new file over the map file: a reader without the lock
// that read the old inode whole has a whole version, however long the read
// took, and must not give up because the inode lost its name meanwhile.
TEST(Concurrency, ReadersWithoutTheLockNeverFailWhileOthersSave) {
  tScratchTree tree;
  testing::tPairs bindings;
  for (int i = 0; i < 250000; ++i) {
    char name[32];
    (void)std::snprintf(name, sizeof name, "com.example.Class%07d", i);
    bindings.emplace_back(name, "/usr/lib/x86_64-linux-gnu/libexample" + std::to_string(i % 97) +
                                    ".so.1.2.3.4.5.6.7.8.9.10.11.12.13.14.15");
  }
  testing::writeFile(tree.mapFile(), testing::encodeMapFile(bindings, {}));
  ASSERT_GT(std::filesystem::file_size(tree.mapFile()), 25u * 1000 * 1000);
  const std::string stop = tree.root() + "/stop";
  const std::string count = tree.root() + "/reads";
  const pid_t reader = spawn([&] {
    int failures = 0;
    int reads = 0;
    for (; !std::filesystem::exists(stop); ++reads) {
      failures +=
          // The whole file is read; only the small K map is printed.
          testing::runCommand({ZEMBRIL_DUMP_BINARY, "--root=" + tree.root(), "--scope=K"})
              .exitStatus != 0;
    }
    testing::writeFile(count, std::to_string(reads));
    return failures;
  });
  std::vector<pid_t> writers;
  writers.reserve(2);
  for (int writer = 0; writer < 2; ++writer) {
    writers.push_back(spawn([&, writer] {
      int failures = 0;
      for (int run = 0; run < 4; ++run) {
        failures +=
            runTool(tree, {"/K", "/add", className(writer, run), libraryPath(writer)}).exitStatus !=
            0;
      }
      return failures;
    }));
  }
  for (pid_t writer : writers) EXPECT_EQ(waitFor(writer), 0) << "a writer's run failed";
  testing::writeFile(stop, "");
  EXPECT_EQ(waitFor(reader), 0) << "a read without the lock failed";
  std::cout << "[ reads    ] " << testing::readFile(count).value_or("?")
            << " reads of a 25 MB map beside 12 saves\n";
}

// Creates a lock file at `path` that the tool would take, and takes its
// lock; returns the descriptor that holds it.
int takeNewLockFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 || ::fchmod(fd, 0600) != 0 || ::flock(fd, LOCK_EX) != 0) return -1;
  return fd;
}

ino_t inodeOf(int fd) {
  struct stat file {};
  return ::fstat(fd, &file) == 0 ? file.st_ino : 0;
}

// Waits until `child` waits in flock for the file of inode `inode`, as
// /proc/locks shows it ("N: -> FLOCK ADVISORY WRITE pid maj:min:inode ...").
// Returns false when the child ends first, or after 20 seconds.
bool waitsForLock(pid_t child, ino_t inode) {
  for (int poll = 0; poll < 2000; ++poll) {
    std::istringstream locks(testing::readFile("/proc/locks").value_or(""));
    for (std::string line; std::getline(locks, line);) {
      std::istringstream fields(line);
      std::string number, arrow, kind, advisory, mode, file;
      long pid = 0;
      fields >> number >> arrow >> kind >> advisory >> mode >> pid >> file;
      if (arrow == "->" && kind == "FLOCK" && pid == child &&
          file.substr(file.rfind(':') + 1) == std::to_string(inode)) {
        return true;
      }
    }
    siginfo_t ended{};
    if (::waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        ended.si_pid == child) {
      return false;
    }
    ::usleep(10000);
  }
  return false;
}

// A run that waited for the lock while its lock file was replaced woke
// holding the lock of a file that nobody else will lock again: it must lock
// the file at the lock path now, and wait for that one's holder.
TEST(Concurrency, ARunWokenOnAReplacedLockFileWaitsForTheNewOne) {
  tScratchTree tree;
  const std::string lockPath = tree.mapDirectory() + "/dravimap.lock";
  const int first = takeNewLockFile(lockPath);
  ASSERT_GE(first, 0);
  const pid_t run = spawn([&] {
    const int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet < 0 || ::dup2(quiet, STDOUT_FILENO) < 0) return 100;
    ::execl(ZEMBRIL_BINARY, "zembril", "/root", tree.root().c_str(), "/U", "/add", "A", "/a.so",
            static_cast<char*>(nullptr));
    return 100;
  });
  ASSERT_TRUE(waitsForLock(run, inodeOf(first))) << "the run never waited for the lock";

  const int second = takeNewLockFile(lockPath + ".new");
  ASSERT_GE(second, 0);
  ASSERT_EQ(::rename((lockPath + ".new").c_str(), lockPath.c_str()), 0);
  ASSERT_EQ(::close(first), 0);
  EXPECT_TRUE(waitsForLock(run, inodeOf(second)))
      << "the run went on with the lock of a file no longer at the lock path";
  EXPECT_FALSE(testing::readFile(tree.mapFile()).has_value()) << "saved without the lock";

  ASSERT_EQ(::close(second), 0);
  EXPECT_EQ(waitFor(run), 0);
  EXPECT_EQ(testing::readFile(tree.mapFile()), testing::encodeMapFile({{"A", "/a.so"}}, {}));
}

// A sync that waited for the lock works from the declarations as they are
// once it holds it: a package removed meanwhile, whose own sync found
// nothing to do, is not bound from what the waiting run saw before.
TEST(Concurrency, ASyncThatWaitedForTheLockReadsTheDeclarationsAgain) {
  tScratchTree tree;
  const std::string declarations = tree.root() + "/usr/share/zembril/declarations";
  std::filesystem::create_directories(declarations);
  testing::writeFile(declarations + "/libw", "64 U W /w.so\n");
  const int lock = takeNewLockFile(tree.mapDirectory() + "/dravimap.lock");
  ASSERT_GE(lock, 0);
  const std::string root = "--root=" + tree.root();
  const pid_t run = spawn([&] {
    ::execl(ZEMBRIL_SYNC_BINARY, "zembril-sync", root.c_str(), static_cast<char*>(nullptr));
    return 100;
  });
  ASSERT_TRUE(waitsForLock(run, inodeOf(lock))) << "the sync never waited for the lock";
  std::filesystem::remove(declarations + "/libw");
  ASSERT_EQ(::close(lock), 0);
  EXPECT_EQ(waitFor(run), 0);
  EXPECT_FALSE(testing::readFile(tree.mapFile(true)).has_value())
      << "bound from a declaration that was gone before the sync held the lock";
}

// A file's size and its stored lengths cost a run no memory of their own:
// the stored bytes are sparse files, holes of zeros that take no disk.
TEST(Memory, HugeStoredLengthsCostNoMemory) {
  tScratchTree tree;
  const testing::tRunResult baseline = runTool(tree, {"/U", "/list"});
  constexpr std::uint64_t kTiB = std::uint64_t{1} << 40;
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  const std::string head(" fmd\1\0\0\0", 8);
  const std::string hugeKey = head + std::string("\1\0\0\0\xFF\xFF\xFF\xFF", 8);
  const std::string marked =
      testing::copyMarkFor(testing::encodeMapFile({{"A", "/a.so"}}, {})) + std::string(9, '\0');
  struct Case {
    const char* what;
    std::string bytes;
    std::uint64_t size;  // the file is cut or extended to this size
    Args command;
    std::string temporary = {};  // a dravimap.tmp, extended to 8 TiB
  } cases[] = {
      {"a count of 4 G records",
       head + std::string("\xFF\xFF\xFF\xFF", 4) + std::string(64, 'x'),
       0,
       {"/U", "/list"}},
      {"a key length of 4 GiB", hugeKey + std::string(1000, 'k'), 0, {"/U", "/list"}},
      {"a value length of 4 GiB",
       head + std::string("\1\0\0\0\2\0\0\0A\0\xFE\xFF\xFF\xFF", 14) + std::string(1000, 'v'),
       0,
       {"/U", "/list"}},
      {"a key length of 4 GiB, 512 MiB of it there, loaded",
       hugeKey,
       512 * kMiB,
       {"/U", "/delete", "A"}},
      {"a key length of 4 GiB, 512 MiB of it there, checked",
       hugeKey,
       512 * kMiB,
       {"/U", "/lookup", "A"}},
      {"8 TiB after whole sections", head, 8 * kTiB, {"/U", "/list"}},
      {"8 TiB of temporary file beside a copy mark", marked, 0, {"/U", "/list"}, head},
  };
  for (const Case& c : cases) {
    testing::writeFile(tree.mapFile(), c.bytes);
    if (c.size != 0) std::filesystem::resize_file(tree.mapFile(), c.size);
    const std::string temporary = tree.mapFile() + ".tmp";
    if (!c.temporary.empty()) {
      testing::writeFile(temporary, c.temporary);
      std::filesystem::resize_file(temporary, 8 * kTiB);
    }
    const testing::tRunResult result = runTool(tree, c.command, {"timeout", "60"});
    std::cout << "[ memory   ] " << c.what << ": peak " << result.maxRssKiB
              << " KiB, an ordinary run " << baseline.maxRssKiB << " KiB\n";
    EXPECT_EQ(result.exitStatus, 0) << c.what;
    EXPECT_FALSE(testing::readFile(tree.mapFile()).has_value()) << c.what << ": not discarded";
    EXPECT_FALSE(std::filesystem::exists(temporary)) << c.what;
    // Peak memory beyond an ordinary run's must stay well under one MiB.
    EXPECT_LT(result.maxRssKiB - baseline.maxRssKiB, 1024)
        << c.what << ": " << result.maxRssKiB << " KiB against " << baseline.maxRssKiB;
    for (const auto& entry : std::filesystem::directory_iterator(tree.mapDirectory())) {
      if (entry.path().filename() != "dravimap.lock") std::filesystem::remove(entry.path());
    }
  }
}

// Whole records that a run cannot hold fail it as a read that failed: the
// file is neither saved over nor set aside.
TEST(Memory, BindingsARunCannotHoldFailItAndMoveNothing) {
  if (testing::kUnderAddressSanitizer) {
    GTEST_SKIP() << "the sanitizer's runtime needs more address space than the limit leaves";
  }
  if (!testing::haveProgram("prlimit")) GTEST_SKIP() << "prlimit is missing";
  tScratchTree tree;
  constexpr std::uint32_t kKeyLength = std::uint32_t{300} << 20;
  std::string bytes(" fmd\1\0\0\0\1\0\0\0", 12);
  for (int shift = 0; shift < 32; shift += 8)
    bytes += static_cast<char>(kKeyLength >> shift & 0xFF);
  testing::writeFile(tree.mapFile(), bytes);
  // The key's bytes are a hole; its value and the empty K map follow it.
  std::filesystem::resize_file(tree.mapFile(), bytes.size() + kKeyLength);
  {
    std::ofstream out(tree.mapFile(), std::ios::binary | std::ios::app);
    out.write("\0\0\0\0\0\0\0\0", 8);
  }
  const auto size = std::filesystem::file_size(tree.mapFile());
  const testing::tRunResult result =
      runTool(tree, {"/U", "/add", "B", "/b.so"}, {"prlimit", "--as=209715200"});
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.output, "\tOperation Failed!\n\tStatus on exit was -50207.\n");
  EXPECT_EQ(std::filesystem::file_size(tree.mapFile()), size);
  EXPECT_EQ(testing::listDirectory(tree.mapDirectory()), std::vector<std::string>{"dravimap"});
}

}  // namespace
}  // namespace nDRAVI100
