// Helpers shared by the tests: a private file tree, file contents, map file
// bytes built by hand, and running the tool itself.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "classMap/tClassMapStore.h"

namespace nDRAVI100::testing {

// A private directory tree that stands in for "/": the tool's paths are
// looked up below it. The fallback map directory is created unless
// asked not to; the tree is removed when the object goes.
class tScratchTree {
 public:
  explicit tScratchTree(bool createMapDirectory = true);
  ~tScratchTree();
  tScratchTree(const tScratchTree&) = delete;
  tScratchTree& operator=(const tScratchTree&) = delete;

  const std::string& root() const { return rootPath; }
  std::string directoryFile() const;
  std::string mapDirectory() const;
  std::string mapFile(bool x64 = false) const;

 private:
  std::string rootPath;
};

// Returns the whole content of the file at `path`, or nothing when it cannot
// be read.
std::optional<std::string> readFile(const std::string& path);

// Writes `bytes` to `path`, creating the directories above it.
void writeFile(const std::string& path, const std::string& bytes);

// Returns the names in `directory`, sorted, but for the map directory's lock file.
std::vector<std::string> listDirectory(const std::string& directory);

using tPairs = std::vector<std::pair<std::string, std::string>>;

// Returns the bytes of a map file holding the two sections, encoded here
// independently of the tool's writer. The records are written in the order
// given.
std::string encodeMapFile(const tPairs& first, const tPairs& second);

// The copy mark that a copy of a file holding `content` writes over the
// head of the map file it copies into.
std::string copyMarkFor(const std::string& content);

// Returns the maps that the tool's reader finds in `bytes`, and the status
// word it ended with.
struct tDecoded {
  tClassNameMap uMap;
  tClassNameMap kMap;
  tStatus status = 0;
  bool asWritten = false;  // the bytes are what writing the maps gives
};
tDecoded decodeMapFile(const std::string& bytes);

// What one run of the tool left.
struct tRunResult {
  int exitStatus = -1;  // the exit status, or 128 + signal number
  std::string output;   // what it wrote to standard output
  long maxRssKiB = 0;   // the child's peak resident memory
};

// Runs the tool as "zembril /root TREE ARGUMENTS...", with `programName` as
// its argument 0. `wrapper` (for example strace and its options) is put in
// front of the command when it is given.
tRunResult runTool(const tScratchTree& tree, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& wrapper = {},
                   const std::string& programName = "zembril");

// Runs `command` (argv[0] is looked up in PATH) and returns its result.
tRunResult runCommand(const std::vector<std::string>& command, const std::string& programName = "");

// Returns true when `program` can be found in PATH.
bool haveProgram(const std::string& program);

// True in a build under AddressSanitizer (g++ and clang say so two ways),
// whose runtime needs /proc and more address space than some tests leave.
constexpr bool kUnderAddressSanitizer =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

}  // namespace nDRAVI100::testing
