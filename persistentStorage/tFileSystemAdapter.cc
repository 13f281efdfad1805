#include "persistentStorage/tFileSystemAdapter.h"

// The one precondition of the lookup must hold in every build.
#undef NDEBUG
#include <cassert>
#include <cerrno>
#include <cstdio>

#include <unistd.h>

#include "persistentStorage/tRegularFile.h"
#include "persistentStorage/tRoot.h"

namespace nDRAVI100 {

namespace {

constexpr const char* kDirectoryFile = "/etc/tolvane/.mirtal/mirtal.dir";
constexpr const char* kFallbackMapDirectory = "/usr/local/tolvane/.mirtal/etc";
constexpr const char* kMapDirectorySuffix = "/etc";

// A longer first line is cut at this many bytes; the directory file is read
// in one call so that a huge file costs no more.
constexpr std::size_t kMostDirectoryFileBytes = 4097;

const std::string& rootPath() { return processRoot(); }

}  // namespace

std::string tFileSystemAdapter::directoryFilePath() { return rootPath() + kDirectoryFile; }

std::string tFileSystemAdapter::fallbackMapDirectory() {
  return rootPath() + kFallbackMapDirectory;
}

const std::string& tFileSystemAdapter::root() { return rootPath(); }

bool tFileSystemAdapter::setRoot(const std::string& root) { return setProcessRoot(root); }

tFileSystemAdapter::tMapDirectoryLookup tFileSystemAdapter::lookUpMapDirectory() {
  tMapDirectoryLookup lookup;
  lookup.directory = fallbackMapDirectory();
  const tRegularFile file = tRegularFile::openForReading(directoryFilePath());
  if (file.notRegular()) {
    lookup.source = tDirectorySource::notRegularFile;
    return lookup;
  }
  if (!file) {
    lookup.error = file.error();
    return lookup;
  }
  char bytes[kMostDirectoryFileBytes];
  std::size_t count = 0;
  while (count < sizeof bytes) {
    const ssize_t got = ::read(file.descriptor(), bytes + count, sizeof bytes - count);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      lookup.source = tDirectorySource::unreadableFile;
      lookup.error = errno;
      return lookup;
    }
    count += static_cast<std::size_t>(got);
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
  // Without a root a relative name stays relative to the working directory,
  // as it always was; inside a root it can only mean the root's own "/".
  const bool fromRoot = !rootPath().empty() && line.front() != '/';
  lookup.directory = rootPath() + (fromRoot ? "/" : "") + line + kMapDirectorySuffix;
  return lookup;
}

std::string tFileSystemAdapter::getDRAVIMapDirectory(const tOS& os, tStatus& status) {
  if (isError(status)) return std::string();
  assert(os == kLinux);
  return lookUpMapDirectory().directory;
}

}  // namespace nDRAVI100
