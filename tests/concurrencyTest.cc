// Installers that run at once must not lose each other's bindings.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "testSupport.h"

namespace nDRAVI100 {
namespace {

using testing::runTool;
using testing::tScratchTree;

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

TEST(Memory, HugeStoredLengthsCostNoMemory) {
  tScratchTree tree;
  const testing::tRunResult baseline = runTool(tree, {"/U", "/list"});
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"a count of 4 G records",
       std::string(" fmd\1\0\0\0\xFF\xFF\xFF\xFF", 12) + std::string(64, 'x')},
      {"a key length of 4 GiB",
       std::string(" fmd\1\0\0\0\1\0\0\0\xFF\xFF\xFF\xFF", 16) + std::string(1000, 'k')},
      {"a value length of 4 GiB",
       std::string(" fmd\1\0\0\0\1\0\0\0\2\0\0\0A\0\xFE\xFF\xFF\xFF", 22) + std::string(1000, 'v')},
  };
  for (const Case& c : cases) {
    testing::writeFile(tree.mapFile(), c.bytes);
    const testing::tRunResult result = runTool(tree, {"/U", "/list"});
    std::cout << "[ memory   ] " << c.what << ": peak " << result.maxRssKiB
              << " KiB, an ordinary run " << baseline.maxRssKiB << " KiB\n";
    EXPECT_EQ(result.exitStatus, 0) << c.what;
    EXPECT_FALSE(testing::readFile(tree.mapFile()).has_value()) << c.what << ": not discarded";
    // Peak memory beyond an ordinary run's must stay well under one MiB.
    EXPECT_LT(result.maxRssKiB - baseline.maxRssKiB, 1024)
        << c.what << ": " << result.maxRssKiB << " KiB against " << baseline.maxRssKiB;
  }
}

}  // namespace
}  // namespace nDRAVI100
