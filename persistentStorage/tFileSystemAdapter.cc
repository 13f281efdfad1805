#include "persistentStorage/tFileSystemAdapter.h"

// The one precondition of the lookup must hold in every build.
#undef NDEBUG
#include <cassert>
#include <cstdio>

namespace nDRAVI100 {

namespace {

constexpr const char* kDirectoryFile = "/etc/tolvane/.mirtal/mirtal.dir";
constexpr const char* kFallbackMapDirectory = "/usr/local/tolvane/.mirtal/etc";
constexpr const char* kMapDirectorySuffix = "/etc";

// A longer first line is cut at this many bytes; the directory file is read
// in one call so that a huge file costs no more.
constexpr std::size_t kMostDirectoryFileBytes = 4097;

std::string& fixedPathRoot() {
  static std::string root;
  return root;
}

}  // namespace

std::string tFileSystemAdapter::directoryFilePath() { return fixedPathRoot() + kDirectoryFile; }

std::string tFileSystemAdapter::fallbackMapDirectory() {
  return fixedPathRoot() + kFallbackMapDirectory;
}

void tFileSystemAdapter::setFixedPathRootForTesting(const std::string& root) {
  fixedPathRoot() = root;
}

std::string tFileSystemAdapter::getDRAVIMapDirectory(const tOS& os, tStatus& status) {
  if (isError(status)) return std::string();
  assert(os == kLinux);

  std::FILE* file = std::fopen(directoryFilePath().c_str(), "rb");
  if (file == nullptr) return fallbackMapDirectory();
  char bytes[kMostDirectoryFileBytes];
  const std::size_t count = std::fread(bytes, 1, sizeof bytes, file);
  const bool failed = std::ferror(file) != 0;
  // Nothing was written, so a failed close loses nothing.
  (void)std::fclose(file);
  if (count == 0 || failed) return fallbackMapDirectory();

  std::size_t end = 0;
  while (end < count && bytes[end] != '\r' && bytes[end] != '\n' && bytes[end] != '\0') ++end;
  std::string line(bytes, end);
  if (!line.empty() && line.back() == '/') line.pop_back();
  if (line.empty()) return fallbackMapDirectory();
  return line + kMapDirectorySuffix;
}

}  // namespace nDRAVI100
