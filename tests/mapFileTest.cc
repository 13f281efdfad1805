#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <thread>

#include "classMap/tClassMapStore.h"
#include "mapFile/tMapFile.h"
#include "mapFile/tRecordWalk.h"
#include "os/tRegularFile.h"
#include "persistentStorage/tMapFileAccess.h"
#include "persistentStorage/tMapPaths.h"
#include "persistentStorage/tRecoveryPlan.h"
#include "testSupport.h"

namespace nDRAVI100 {
namespace {

using testing::encodeMapFile;
using testing::readFile;
using testing::tScratchTree;
using testing::writeFile;

std::string word(std::uint32_t value) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(value >> shift));
  return bytes;
}

const std::string kHeader = " fmd" + word(1);

class MapFile : public ::testing::Test {
 protected:
  // Builds a store on the current map file (of `root`, when it is given),
  // runs `change` on it and saves.
  template <typename Change>
  tStatus runAndSave(Change change, std::int32_t is64Bit = 0, const tScratchTree* root = nullptr) {
    tStatus status = 0;
    tClassMapStore store(kDeferSave, is64Bit, tMapNeed::bindings, status,
                         (root != nullptr ? *root : tree).root());
    change(store, status);
    store.saveAllMapFiles(status);
    return status;
  }

  std::vector<tBinding> loaded(tMapScope scope, std::int32_t is64Bit = 0) {
    tStatus status = 0;
    tClassMapStore store(kDeferSave, is64Bit, tMapNeed::bindings, status, tree.root());
    EXPECT_EQ(status, 0);
    return store.list(scope, status);
  }

  tScratchTree tree;
};

TEST_F(MapFile, TheThirtyThreeByteExample) {
  EXPECT_EQ(runAndSave([](tClassMapStore& store, tStatus& status) {
              store.add("A", "lib.so", 0, status);
            }),
            0);
  const std::string expected(
      "\x20\x66\x6D\x64\x01\x00\x00\x00"
      "\x01\x00\x00\x00\x02\x00\x00\x00\x41\x00\x07\x00\x00\x00lib.so\x00"
      "\x00\x00\x00\x00",
      33);
  EXPECT_EQ(readFile(tree.mapFile()), expected);
  EXPECT_EQ(loaded(0), (std::vector<tBinding>{{"A", "lib.so"}}));
  EXPECT_TRUE(loaded(1).empty());
  EXPECT_EQ(testing::listDirectory(tree.mapDirectory()), std::vector<std::string>{"dravimap"});
}

TEST_F(MapFile, AFileOfSeveralReadPiecesComesBackByteForByte) {
  // Long enough that records straddle the loader's large reads, with a path
  // longer than both the reader's and the writer's pieces.
  testing::tPairs bindings;
  for (int i = 0; i < 40000; ++i) {
    const std::string number = std::to_string(100000 + i);
    bindings.emplace_back("com.example.Class" + number, "/usr/lib64/vendor/lib" + number + ".so.3");
  }
  const std::string bytes =
      encodeMapFile(bindings, {{"K", std::string((std::size_t{1} << 20) + 7, 'k')}});
  ASSERT_GT(bytes.size(), std::size_t{2} << 20);
  writeFile(tree.mapFile(), bytes);
  EXPECT_EQ(runAndSave([](tClassMapStore&, tStatus&) {}), 0);
  EXPECT_EQ(readFile(tree.mapFile()), bytes);
}

TEST_F(MapFile, RecordsAreWrittenInUnsignedByteOrder) {
  runAndSave([](tClassMapStore& store, tStatus& status) {
    for (const char* key : {"abc", "\xC3\x80", "ab", "Zed"}) store.add(key, "v", 0, status);
    store.add("k", "", 1, status);
  });
  EXPECT_EQ(
      readFile(tree.mapFile()),
      encodeMapFile({{"Zed", "v"}, {"ab", "v"}, {"abc", "v"}, {"\xC3\x80", "v"}}, {{"k", ""}}));
}

TEST_F(MapFile, ReaderAcceptsWhatTheWriterNeverWrites) {
  struct Case {
    const char* what;
    std::string bytes;
    tClassNameMap uMap;
    tClassNameMap kMap;
  } cases[] = {
      {"two empty sections", kHeader + word(0) + word(0), {}, {}},
      {"the later of two equal keys wins",
       encodeMapFile({{"A", "first"}, {"A", "second"}}, {}),
       {{"A", "second"}},
       {}},
      {"a key ends at its first NUL",
       kHeader + word(1) + word(5) + std::string("a\0bc\0", 5) + word(2) + std::string("v\0", 2) +
           word(0),
       {{"a", "v"}},
       {}},
      {"a length of 0 is the empty string",
       kHeader + word(1) + word(0) + word(0) + word(0),
       {{"", ""}},
       {}},
      {"bytes without a NUL are the string",
       kHeader + word(1) + word(2) + "ab" + word(1) + "v" + word(0),
       {{"ab", "v"}},
       {}},
      {"bytes after the last section are ignored",
       encodeMapFile({}, {{"K", "k"}}) + "trailing junk",
       {},
       {{"K", "k"}}},
      {"records need not be in order",
       encodeMapFile({{"b", "2"}, {"a", "1"}}, {}),
       {{"a", "1"}, {"b", "2"}},
       {}},
  };
  for (const Case& c : cases) {
    const testing::tDecoded decoded = testing::decodeMapFile(c.bytes);
    EXPECT_EQ(decoded.status, 0) << c.what;
    EXPECT_EQ(decoded.uMap, c.uMap) << c.what;
    EXPECT_EQ(decoded.kMap, c.kMap) << c.what;
  }
  // Long names are searched for a NUL sixteen bytes at a time: one
  // anywhere in them, the first and last blocks included, ends the name.
  const std::string name = "com.example.installer.widgets.ClassName";
  for (const std::size_t nul : {0U, 1U, 15U, 16U, 17U, 31U, 32U, 37U}) {
    std::string key = name;
    key[nul] = '\0';
    const testing::tDecoded decoded =
        testing::decodeMapFile(encodeMapFile({{key, "/k.so"}}, {{"K", key}}));
    EXPECT_EQ(decoded.uMap, (tClassNameMap{{name.substr(0, nul), "/k.so"}})) << nul;
    EXPECT_EQ(decoded.kMap, (tClassNameMap{{"K", name.substr(0, nul)}})) << nul;
  }
}

TEST_F(MapFile, ASectionThatEndsEarlyIsEmptiedAndTheOneBeforeItKept) {
  const std::string good = encodeMapFile({{"A", "/a.so"}, {"B", "/b.so"}}, {{"K", "/k.so"}});
  const testing::tDecoded inKMap = testing::decodeMapFile(good.substr(0, good.size() - 3));
  EXPECT_EQ(inKMap.status, -50207);
  EXPECT_EQ(inKMap.uMap, (tClassNameMap{{"A", "/a.so"}, {"B", "/b.so"}}));
  EXPECT_TRUE(inKMap.kMap.empty());
  const testing::tDecoded inUMap = testing::decodeMapFile(good.substr(0, 30));
  EXPECT_EQ(inUMap.status, -50207);
  EXPECT_TRUE(inUMap.uMap.empty());
}

TEST_F(MapFile, DamagedFilesAreSetAsideAtConstruction) {
  const std::string good = encodeMapFile({{"A", "/a.so"}, {"B", "/b.so"}}, {{"K", "/k.so"}});
  struct Case {
    const char* what;
    std::string bytes;
    tStatus readerStatus;
  } cases[] = {
      {"empty", "", -50207},
      {"magic only", " fmd", -50207},
      {"magic reversed", "dmf " + word(1) + word(0) + word(0), -50257},
      {"version 2", " fmd" + word(2) + word(0) + word(0), -50250},
      {"version 0", " fmd" + word(0) + word(0) + word(0), -50250},
      {"no uMap count", kHeader, -50207},
      {"no kMap section", kHeader + word(0), -50207},
      {"ends inside the kMap section", good.substr(0, good.size() - 3), -50207},
      {"ends inside the uMap section", good.substr(0, 20), -50207},
      {"count larger than the records",
       kHeader + word(2) + word(2) + std::string("A\0", 2) + word(1) + std::string("\0", 1) +
           word(0),
       -50207},
      {"a length claiming 4 GiB", kHeader + word(1) + word(0xFFFFFFFF) + "x", -50207},
      {"a count claiming 4 G records", kHeader + word(0xFFFFFFFF), -50207},
  };
  // Each damaged file keeps a name of its own: none replaces the one before.
  int kept = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(testing::decodeMapFile(c.bytes).status, c.readerStatus) << c.what;
    writeFile(tree.mapFile(), c.bytes);
    tStatus status = 0;
    {
      tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
      EXPECT_EQ(status, 0) << c.what;
      EXPECT_TRUE(store.list(0, status).empty()) << c.what;
      EXPECT_TRUE(store.list(1, status).empty()) << c.what;
      EXPECT_FALSE(readFile(tree.mapFile()).has_value()) << c.what << ": not set aside";
      EXPECT_EQ(readFile(tMapPaths::damagedNameFor(tree.mapFile(), kept++)), c.bytes) << c.what;
    }
  }
}

TEST_F(MapFile, TheBitnessesAreIndependent) {
  const std::string thirtyTwo = encodeMapFile({{"A", "/lib32/a.so"}}, {});
  writeFile(tree.mapFile(false), thirtyTwo);
  EXPECT_EQ(runAndSave(
                [](tClassMapStore& store, tStatus& status) {
                  EXPECT_TRUE(store.list(0, status).empty());
                  store.add("A", "/lib64/a.so", 0, status);
                },
                1),
            0);
  EXPECT_EQ(readFile(tree.mapFile(false)), thirtyTwo);
  EXPECT_EQ(readFile(tree.mapFile(true)), encodeMapFile({{"A", "/lib64/a.so"}}, {}));
  EXPECT_EQ(runAndSave([](tClassMapStore& store, tStatus& status) { store.reset(0, status); }), 0);
  EXPECT_FALSE(readFile(tree.mapFile(false)).has_value());
  EXPECT_TRUE(readFile(tree.mapFile(true)).has_value());
}

TEST_F(MapFile, SaveKeepsPermissionsAndClearsAStaleTemporaryFile) {
  writeFile(tree.mapFile(), encodeMapFile({{"A", "a"}}, {}));
  ASSERT_EQ(::chmod(tree.mapFile().c_str(), 0640), 0);
  const std::string stale = tMapPaths::temporaryNameFor(tree.mapFile());
  writeFile(stale, "left by a killed run");
  EXPECT_EQ(
      runAndSave([](tClassMapStore& store, tStatus& status) { store.add("B", "b", 0, status); }),
      0);
  struct stat after {};
  ASSERT_EQ(::stat(tree.mapFile().c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(testing::listDirectory(tree.mapDirectory()), std::vector<std::string>{"dravimap"});

  // A new file gets 0666 less the umask, as any file the tool creates.
  const mode_t oldMask = ::umask(022);
  runAndSave([](tClassMapStore& store, tStatus& status) { store.add("C", "c", 0, status); }, 1);
  ::umask(oldMask);
  ASSERT_EQ(::stat(tree.mapFile(true).c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0644u);
}

TEST_F(MapFile, TemporaryFileIsNeverALink) {
  // A planted link must not make the save write through it.
  const std::string victim = tree.root() + "/victim";
  writeFile(victim, "precious");
  const std::string temporary = tMapPaths::temporaryNameFor(tree.mapFile());
  ASSERT_EQ(::symlink(victim.c_str(), temporary.c_str()), 0);
  EXPECT_EQ(
      runAndSave([](tClassMapStore& store, tStatus& status) { store.add("A", "a", 0, status); }),
      0);
  EXPECT_EQ(readFile(victim), "precious");
  EXPECT_EQ(readFile(tree.mapFile()), encodeMapFile({{"A", "a"}}, {}));
}

TEST_F(MapFile, SaveWithoutAMapDirectory) {
  const tScratchTree bare(false);
  EXPECT_EQ(
      runAndSave([](tClassMapStore& store, tStatus& status) { store.add("A", "a", 0, status); }, 0,
                 &bare),
      -50204);
  EXPECT_EQ(
      runAndSave([](tClassMapStore& store, tStatus& status) { store.reset(0, status); }, 0, &bare),
      0);
  EXPECT_TRUE(testing::listDirectory(bare.root() + "/usr").empty());
}

TEST_F(MapFile, FailedRenameAndACopyThatCannotStartLeaveNothingBehind) {
  // A directory where the map file belongs makes both the rename and the
  // copy fail before anything changed: the run failed, so its maps must not
  // outlive it in a temporary file.
  EXPECT_EQ(runAndSave([this](tClassMapStore& store, tStatus& status) {
              store.add("A", "a", 0, status);
              ASSERT_EQ(::mkdir(tree.mapFile().c_str(), 0755), 0);
            }),
            -50204);
  EXPECT_FALSE(readFile(tMapPaths::temporaryNameFor(tree.mapFile())).has_value());
}

TEST_F(MapFile, UnreadableMapFileFailsTheRunInsteadOfBeingReplaced) {
  // A map file that is a directory exists but cannot be read as a file.
  ASSERT_EQ(::mkdir(tree.mapFile().c_str(), 0755), 0);
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  EXPECT_LT(status, 0);
  EXPECT_EQ(::access(tree.mapFile().c_str(), F_OK), 0) << "must not be removed";
}

// The holder of the lock decides from the map file and the temporary file
// alone; the rows are the cases whose outcome matters to a user.
TEST(RecoveryPlan, OnlyTheCopyMarkRollsATemporaryFileForward) {
  using enum tMapAction;
  using M = tMapFileState;
  using T = tTemporaryState;
  const struct {
    tMapFileState map;
    tTemporaryState temporary;
    tRecoveryPlan plan;
  } rows[] = {
      {M::whole, T::absent, {keep, false}},
      {M::whole, T::other, {keep, true}},  // a killed run's: gone even after a query
      {M::absent, T::other, {keep, true}},
      {M::damaged, T::absent, {setAside, false}},
      {M::damaged, T::other, {setAside, true}},  // never read into the maps
      {M::copyUnfinished, T::namedByMark, {finishCopy, false}},
      {M::copyUnfinished, T::other, {setAside, true}},
      {M::copyUnfinished, T::absent, {setAside, false}},
      {M::copyUnfinished, T::unreadable, {fail, false}},  // it may be the one complete copy
      {M::cannotOpen, T::other, {fail, false}},
      {M::readFailed, T::other, {fail, false}},
      {M::notRegular, T::absent, {fail, false}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(planRecovery(row.map, row.temporary), row.plan)
        << static_cast<int>(row.map) << " " << static_cast<int>(row.temporary);
  }
}

// A save renames its new file over the map file: the inode a reader has open
// loses its name (its change time moves) but not a byte, so what was read
// of it is still one whole version.
TEST_F(MapFile, ASaveByRenameIsANewVersionNotAChangeUnderTheReader) {
  writeFile(tree.mapFile(), encodeMapFile({{"A", "/a.so"}}, {}));
  const tRegularFile open = tRegularFile::openForReading(tree.mapFile());
  ASSERT_TRUE(open);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  tStatus status = 0;
  saveMapFileAt(tDirectory::holding(tree.mapFile()), fileNameOf(tree.mapFile()),
                tClassNameMap{{"B", "/b.so"}}, nullptr, status);
  ASSERT_EQ(status, 0);
  struct stat after {};
  ASSERT_EQ(::fstat(open.descriptor(), &after), 0);
  EXPECT_TRUE(sameFileVersion(open.status(), after));
}

// A reader without the lock waits for a copy under way, and reads its end.
TEST_F(MapFile, AReaderWithoutTheLockWaitsForACopyToFinish) {
  const std::string map = encodeMapFile({{"A", "/a.so"}}, {});
  writeFile(tree.mapFile(), testing::copyMarkFor(map) + map.substr(kCopyMarkSize));
  tMapFileReading how;
  EXPECT_EQ(readMapFile(tree.mapFile(), how).state, tMapFileState::copyUnfinished);
  how.waitForCopy = true;
  std::thread copier([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int fd = ::open(tree.mapFile().c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(::pwrite(fd, map.data(), kCopyMarkSize, 0), static_cast<ssize_t>(kCopyMarkSize));
    ::close(fd);
  });
  const tMapFileRead read = readMapFile(tree.mapFile(), how);
  copier.join();
  EXPECT_EQ(read.state, tMapFileState::whole);
  EXPECT_EQ(read.code, 0);
}

TEST_F(MapFile, WriterStopsAtTheFirstFailedWrite) {
  // /dev/full takes no byte.
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  tStatus status = 0;
  writeMapFileDescriptor(full, {{"A", "a"}}, nullptr, status);
  EXPECT_EQ(status, -50208);
  ::close(full);
}

TEST(WriteAllPieces, AWriteCutShortIsFinishedOrReported) {
  // A file size limit cuts a write short at the limit and fails the next
  // one with EFBIG: the pieces must go out whole and in order up to there,
  // and the failure must be told.
  const std::string a(60, 'a');
  const std::string b(50, 'b');
  const std::array<std::string_view, 3> pieces = {a, "", b};
  const struct {
    rlim_t limit;
    bool written;
    std::size_t kept;
  } cases[] = {{1000, true, 110}, {100, false, 100}, {40, false, 40}};
  for (const auto& c : cases) {
    const int fd = ::memfd_create("pieces", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const struct rlimit limit = {c.limit, c.limit};
      (void)::signal(SIGXFSZ, SIG_IGN);
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
      const bool written = writeAllPieces(fd, pieces);
      ::_exit(written ? 0 : errno == EFBIG ? 1 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (c.written ? 0 : 1)) << c.limit;
    std::string kept(200, '\0');
    kept.resize(static_cast<std::size_t>(::pread(fd, kept.data(), kept.size(), 0)));
    EXPECT_EQ(kept, (a + b).substr(0, c.kept)) << c.limit;
    ::close(fd);
  }
}

// The bytes that writeMapFileDescriptor writes for the two maps.
std::string written(const tClassNameMap& uMap, const tClassNameMap& kMap) {
  const int fd = ::memfd_create("written", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  tStatus status = 0;
  writeMapFileDescriptor(fd, uMap, &kMap, status);
  EXPECT_EQ(status, 0);
  std::string bytes(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  return bytes;
}

// A loaded map views its strings in the file's image, and a save writes the
// records the image holds as the writer would put them from where they
// stand. Whatever the file and the change, the bytes must be those of the
// same maps written afresh: by copies, which own their bytes and hold no
// image.
TEST(MapFileImage, ASavedMapIsWhatWritingItAfreshGives) {
  using namespace std::string_literals;
  // A length and the bytes it counts, NULs and all.
  const auto field = [](const std::string& bytes) {
    return word(static_cast<std::uint32_t>(bytes.size())) + bytes;
  };
  // About 5 MB: more than the writer hands the descriptor from the image
  // in one write.
  testing::tPairs many;
  for (int i = 0; i < 80000; ++i) {
    const std::string number = std::to_string(10000 + i);
    many.emplace_back("com.example.Class" + number, "/usr/lib64/example/lib" + number + ".so");
  }
  // Records the writer never writes lie between ones it does, so that a
  // record copied from the image with the wrong length would carry its
  // neighbour's bytes along or leave some behind. Only a file whose every
  // record is as written loads as written.
  const std::string before = field("a\0"s) + field("/a.so\0"s);
  const std::string after =
      field("e\0"s) + field("/a.so\0"s) + word(1) + field("k\0"s) + field("v\0"s);
  const struct {
    const char* what;
    std::string bytes;
    bool asWritten;
  } files[] = {
      {"as written", encodeMapFile({{"a", "1"}, {"c", "3"}, {"e", ""}}, {{"k", "v"}}), true},
      // Longer than a run the writer gathers instead of writing from the
      // image, and than one write from it.
      {"as written, large", encodeMapFile(many, {{"K", "k"}}), true},
      {"a key with a NUL inside",
       kHeader + word(2) + word(5) + std::string("a\0bc\0", 5) + word(2) + std::string("v\0", 2) +
           word(2) + std::string("c\0", 2) + word(2) + std::string("w\0", 2) + word(0),
       false},
      {"bytes without a NUL",
       kHeader + word(2) + word(2) + "ab" + word(1) + "v" + word(2) + std::string("c\0", 2) +
           word(2) + std::string("w\0", 2) + word(0),
       false},
      {"lengths of 0", kHeader + word(1) + word(0) + word(0) + word(1) + word(0) + word(0), false},
      {"a path with a NUL inside",
       kHeader + word(3) + before + field("c\0"s) + field("/c\0.so\0"s) + after, false},
      {"a class's length past its NUL",
       kHeader + word(3) + before + field("c\0d\0"s) + field("/c.so\0"s) + after, false},
      {"a path's length past its NUL",
       kHeader + word(3) + before + field("c\0"s) + field("/c.so\0\0"s) + after, false},
      {"a path without its NUL",
       kHeader + word(3) + before + field("c\0"s) + field("/c.so"s) + after, false},
      {"a path of length 0", kHeader + word(3) + before + field("c\0"s) + word(0) + after, false},
      {"equal keys", encodeMapFile({{"A", "first"}, {"A", "second"}, {"B", "b"}}, {}), false},
      {"out of order", encodeMapFile({{"c", "3"}, {"a", "1"}, {"b", "2"}}, {{"k", "v"}}), false},
      {"bytes after the last section", encodeMapFile({{"a", "1"}}, {{"K", "k"}}) + "tail", false},
  };
  const struct {
    const char* what;
    void (*apply)(tClassNameMap& uMap, tClassNameMap& kMap);
  } changes[] = {
      {"none", [](tClassNameMap&, tClassNameMap&) {}},
      {"a class added between others",
       [](tClassNameMap& uMap, tClassNameMap&) { uMap.assign("b~", "/new.so"); }},
      // In the large file: more runs from the image than the writer hands
      // over at once, some after a record written afresh, some not.
      {"a class added and one removed by turns, every 5,000th",
       [](tClassNameMap& uMap, tClassNameMap&) {
         for (int i = 10000; i < 90000; i += 5000) {
           const std::string name = "com.example.Class" + std::to_string(i);
           if (i % 10000 == 0) {
             uMap.assign(name + "~", "/new.so");
           } else {
             (void)uMap.erase(name);
           }
         }
       }},
      {"the first class removed",
       [](tClassNameMap& uMap, tClassNameMap&) {
         if (!uMap.empty()) (void)uMap.erase(std::string(uMap.begin()->className));
       }},
      {"a class rebound to the path it had",
       [](tClassNameMap& uMap, tClassNameMap&) {
         if (uMap.empty()) return;
         const tBindingView last = *(uMap.end() - 1);
         uMap.assign(std::string(last.className), std::string(last.libraryPath));
       }},
      {"one map emptied, the other kept",
       [](tClassNameMap& uMap, tClassNameMap&) { uMap.clear(); }},
      {"every class bound to the first one's path removed",
       [](tClassNameMap& uMap, tClassNameMap&) {
         if (!uMap.empty()) (void)uMap.eraseBoundTo(std::string(uMap.begin()->libraryPath));
       }},
  };
  for (const auto& file : files) {
    for (const auto& change : changes) {
      testing::tDecoded decoded = testing::decodeMapFile(file.bytes);
      ASSERT_EQ(decoded.status, 0) << file.what;
      EXPECT_EQ(decoded.asWritten, file.asWritten) << file.what;
      EXPECT_FALSE(decoded.kMap.image().empty()) << file.what;
      change.apply(decoded.uMap, decoded.kMap);
      const tClassNameMap freshU(decoded.uMap);
      const tClassNameMap freshK(decoded.kMap);
      ASSERT_TRUE(freshU.image().empty() && freshK.image().empty());
      EXPECT_EQ(written(decoded.uMap, decoded.kMap), written(freshU, freshK))
          << file.what << "; " << change.what;
    }
  }
}

// A file whose size fstat does not know (a pipe) is still loaded whole: its
// image grows as the bytes come.
TEST(MapFileImage, ALoadFromAPipeGrowsItsImage) {
  testing::tPairs bindings;
  for (int i = 0; i < 2000; ++i) {
    bindings.emplace_back("com.example.Class" + std::to_string(10000 + i), "/lib.so");
  }
  const std::string bytes = encodeMapFile(bindings, {{"K", "k"}});
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::thread writer([&] {
    EXPECT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(ends[1]);
  });
  tClassNameMap uMap;
  tClassNameMap kMap;
  tStatus status = 0;
  const tMapFileScan scan = readMapFileDescriptor(ends[0], 2, &uMap, &kMap, status);
  writer.join();
  ::close(ends[0]);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(scan.asWritten);
  EXPECT_EQ(uMap, tClassNameMap(bindings.begin(), bindings.end()));
  EXPECT_EQ(written(uMap, kMap), bytes);
}

// A check reads a large file in pieces and counts its zero bytes: a NUL
// inside a string anywhere in it, in any piece, means the file is not as
// written and is to be mended.
TEST(MapFileCheck, FindsANulInsideAStringAnywhere) {
  testing::tPairs many;
  for (int i = 0; i < 5000; ++i) {
    const std::string number = std::to_string(10000 + i);
    many.emplace_back("com.example.Class" + number, "/usr/lib64/example/lib" + number + ".so");
  }
  const auto check = [](const std::string& bytes) {
    const int fd = ::memfd_create("checked", MFD_CLOEXEC);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    tStatus status = 0;
    const tMapFileScan scan = readMapFileDescriptor(fd, 2, nullptr, nullptr, status);
    ::close(fd);
    EXPECT_EQ(status, 0);
    return scan.asWritten;
  };
  EXPECT_TRUE(check(encodeMapFile(many, {{"K", "k"}})));
  for (const std::size_t record : {std::size_t{0}, std::size_t{2777}, many.size() - 1}) {
    for (const bool inPath : {false, true}) {
      testing::tPairs damaged = many;
      // A class that goes on past a NUL still sorts where it stood: only the
      // zero bytes tell.
      if (inPath) {
        damaged[record].second[5] = '\0';
      } else {
        damaged[record].first += std::string("\0x", 2);
      }
      EXPECT_FALSE(check(encodeMapFile(damaged, {{"K", "k"}})))
          << "record " << record << (inPath ? ", path" : ", class");
    }
  }
}

// The check compares each class with the one before it where they stand in
// its buffer, the NUL after each included: its verdict on the order must be
// std::string_view's, for names that part at any byte, that end where
// others go on, and whose bytes lie on both sides of 0x80.
TEST(MapFileCheck, KnowsTheOrderOfNames) {
  std::vector<std::string> names;
  const std::string stem = "com.example.installer.widgets.ClassWithALongName";
  for (const std::size_t length : {0U, 1U, 7U, 8U, 15U, 16U, 17U, 31U, 32U, 33U, 40U}) {
    names.push_back(stem.substr(0, length));
    for (const char last : {'\x01', 'A', '\x7F', '\x80', '\xFF'}) {
      names.push_back(stem.substr(0, length) + last);
      names.push_back(stem.substr(0, length) + last + "tail");
    }
  }
  // A last record that sorts after every name, with a long path, so that
  // the names lie well inside the buffer.
  const std::pair<std::string, std::string> last(std::string(48, '\xFF'), std::string(64, 'p'));
  for (const std::string& first : names) {
    for (const std::string& second : names) {
      const std::string bytes = encodeMapFile({{first, "/1"}, {second, "/2"}, last}, {});
      const int fd = ::memfd_create("checked", MFD_CLOEXEC);
      ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
      tStatus status = 0;
      const bool asWritten = readMapFileDescriptor(fd, 2, nullptr, nullptr, status).asWritten;
      ::close(fd);
      ASSERT_EQ(asWritten, std::string_view(first) < std::string_view(second))
          << "\"" << first << "\" then \"" << second << "\"";
    }
  }
}

}  // namespace
}  // namespace nDRAVI100

namespace nDRAVI100 {
namespace {

// The walk hands each record to a map, as the loader would: whatever it
// finds, the maps and the scan must be the loader's.
class tMapSink final : public tRecordSink {
 public:
  explicit tMapSink(int descriptor) : fd(descriptor) {}
  void take(int section, const tWalkedString& className, const tWalkedString& libraryPath,
            bool /*sortsLast*/) override {
    maps.at(static_cast<std::size_t>(section)).assign(bytesOf(className), bytesOf(libraryPath));
    if (!className.held || !libraryPath.held) ++notHeld;
  }
  std::array<tClassNameMap, 2> maps;
  int notHeld = 0;

 private:
  std::string bytesOf(const tWalkedString& text) const {
    std::string bytes;
    EXPECT_TRUE(forEachPieceOf(fd, text, [&](std::string_view piece) { bytes.append(piece); }));
    EXPECT_EQ(bytes.size(), text.length);
    return bytes;
  }
  int fd;
};

TEST(RecordWalk, FindsWhatTheLoaderFindsInAnyBytes) {
  const std::string large(kLargestWalkedString + 1, 'x');
  const std::string intact = encodeMapFile({{"A", "/a.so"}, {"B", "/b.so"}}, {{"K", "/k.so"}});
  std::vector<std::pair<std::string, std::string>> cases = {
      {"intact", intact},
      {"unsorted", encodeMapFile({{"B", "/b.so"}, {"A", "/a.so"}}, {})},
      {"a class twice", encodeMapFile({{"A", "/1.so"}, {"B", "/b.so"}, {"A", "/2.so"}}, {})},
      {"bytes after", intact + "junk"},
      {"wrong magic", "XXXX" + intact.substr(4)},
      {"wrong version", intact.substr(0, 4) + "XXXX" + intact.substr(8)},
      {"a NUL inside", encodeMapFile({{std::string("A\0B", 3), "/a.so"}}, {})},
      {"a large library", encodeMapFile({{"A", large}, {"B", "/b.so"}}, {{"K", large}})},
      {"a large class", encodeMapFile({{large, "/a.so"}, {large + "y", "/b.so"}}, {})},
      {"large classes unsorted", encodeMapFile({{large + "y", "/b.so"}, {large, "/a.so"}}, {})},
      {"a large class twice", encodeMapFile({{large, "/1.so"}, {large, "/2.so"}}, {})},
  };
  // A record without its NUL, and one whose library has a NUL before its
  // end and is too large to hold.
  std::string noNul = encodeMapFile({{"A", "/a.so"}}, {});
  noNul.erase(noNul.size() - 5, 1);
  noNul[8 + 4 + 4 + 2] = 5;
  cases.push_back({"no NUL", noNul});
  std::string nulInLarge = encodeMapFile({{"A", large}}, {});
  nulInLarge[8 + 4 + 4 + 2 + 4 + 10] = '\0';
  cases.push_back({"a NUL inside a large library", nulInLarge});
  for (std::size_t cut = 0; cut < intact.size(); ++cut) {
    cases.push_back({"cut at " + std::to_string(cut), intact.substr(0, cut)});
  }
  cases.push_back({"a large library cut", cases[7].second.substr(0, 8 + 4 + 4 + 2 + 4 + 100)});

  for (const auto& [name, bytes] : cases) {
    for (const bool checkHead : {true, false}) {
      const int fd = ::memfd_create("map", MFD_CLOEXEC);
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(writeFully(fd, bytes.data(), bytes.size()));
      ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
      tClassNameMap first;
      tClassNameMap second;
      const tMapFileScan loaded = scanMapFileDescriptor(fd, 2, first, &second, checkHead);
      ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
      tMapSink sink(fd);
      const tMapFileScan walked = walkMapFileDescriptor(fd, 2, sink, checkHead);
      const std::string what = name + (checkHead ? "" : ", head unchecked");
      EXPECT_EQ(walked.code, loaded.code) << what;
      EXPECT_EQ(walked.offset, loaded.offset) << what;
      EXPECT_EQ(walked.problem, loaded.problem) << what;
      EXPECT_EQ(walked.wholeSections, loaded.wholeSections) << what;
      EXPECT_EQ(walked.bytesAfter, loaded.bytesAfter) << what;
      EXPECT_EQ(walked.asWritten, loaded.asWritten) << what;
      EXPECT_EQ(walked.readFailed, loaded.readFailed) << what;
      EXPECT_TRUE(sink.maps[0] == first) << what;
      EXPECT_TRUE(sink.maps[1] == second) << what;
      if (name.find("large") != std::string::npos && walked.wholeSections > 0) {
        EXPECT_GT(sink.notHeld, 0) << what;
      }
      ::close(fd);
    }
  }
}

}  // namespace
}  // namespace nDRAVI100
