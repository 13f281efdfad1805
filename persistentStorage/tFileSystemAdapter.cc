#include "persistentStorage/tFileSystemAdapter.h"

// The one precondition of the lookup must hold in every build.
#undef NDEBUG
#include <cassert>
#include <cerrno>
#include <cstdio>

#include "persistentStorage/tFile.h"

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

tFileSystemAdapter::tMapDirectoryLookup tFileSystemAdapter::lookUpMapDirectory() {
  tMapDirectoryLookup lookup;
  lookup.directory = fallbackMapDirectory();
  const tFile file = tFile::open(directoryFilePath(), "rb");
  if (!file) {
    lookup.error = errno;
    return lookup;
  }
  char bytes[kMostDirectoryFileBytes];
  const std::size_t count = std::fread(bytes, 1, sizeof bytes, file.get());
  if (std::ferror(file.get()) != 0) {
    lookup.source = tDirectorySource::unreadableFile;
    lookup.error = errno;
    return lookup;
  }
  if (count == 0) {
    lookup.source = tDirectorySource::emptyFile;
    return lookup;
  }

  std::size_t end = 0;
  while (end < count && bytes[end] != '\r' && bytes[end] != '\n' && bytes[end] != '\0') ++end;
  lookup.firstLine.assign(bytes, end);
  std::string line = lookup.firstLine;
  if (!line.empty() && line.back() == '/') line.pop_back();
  if (line.empty()) {
    lookup.source = tDirectorySource::emptyFirstLine;
    return lookup;
  }
  lookup.source = tDirectorySource::directoryFile;
  lookup.directory = line + kMapDirectorySuffix;
  return lookup;
}

std::string tFileSystemAdapter::getDRAVIMapDirectory(const tOS& os, tStatus& status) {
  if (isError(status)) return std::string();
  assert(os == kLinux);
  return lookUpMapDirectory().directory;
}

}  // namespace nDRAVI100
