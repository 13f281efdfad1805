#include "persistentStorage/tMapPaths.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "os/tRegularFile.h"
#include "os/tTrustedWay.h"

namespace nDRAVI100 {

namespace {

constexpr const char* kDirectoryFile = "/etc/tolvane/.mirtal/mirtal.dir";
constexpr const char* kFallbackMapDirectory = "/usr/local/tolvane/.mirtal/etc";
constexpr const char* kMapDirectorySuffix = "/etc";
constexpr const char* kDeclarationsDirectory = "/usr/share/zembril/declarations";
constexpr const char* kLegacyRecordsDirectory = "/var/lib/zembril";

// A longer first line is cut at this many bytes; the directory file is read
// in one call so that a huge file costs no more.
constexpr std::size_t kMostDirectoryFileBytes = 4097;

}  // namespace

tMapPaths::tMapPaths(std::string root) : rootPath(std::move(root)) {
  while (!rootPath.empty() && rootPath.back() == '/') rootPath.pop_back();
}

tMapPaths tMapPaths::resolve(std::string root) {
  tMapPaths paths(std::move(root));
  paths.found = paths.lookUpMapDirectory();
  return paths;
}

std::string tMapPaths::directoryFile() const { return rootPath + kDirectoryFile; }
std::string tMapPaths::fallbackMapDirectory() const { return rootPath + kFallbackMapDirectory; }
std::string tMapPaths::declarationsDirectory() const { return rootPath + kDeclarationsDirectory; }
std::string tMapPaths::legacyRecordsDirectory() const { return rootPath + kLegacyRecordsDirectory; }

std::string tMapPaths::lockFile() const { return found.directory + "/" + lockFileName(); }
std::string tMapPaths::mapFile(bool is64Bit) const {
  return found.directory + "/" + mapFileName(is64Bit);
}

const char* tMapPaths::lockFileName() { return "dravimap.lock"; }
std::string tMapPaths::mapFileName(bool is64Bit) { return is64Bit ? "dravimap64" : "dravimap"; }
std::string tMapPaths::recordName(bool is64Bit) { return mapFileName(is64Bit) + ".declared"; }
std::string tMapPaths::legacyRecordName(bool is64Bit) {
  return is64Bit ? "declared64" : "declared32";
}
std::string tMapPaths::temporaryNameFor(const std::string& target) { return target + ".tmp"; }
std::string tMapPaths::damagedNameFor(const std::string& target, int n) {
  // Appended piece by piece: GCC 12 warns (-Wrestrict) of a copy that
  // cannot happen in "." + std::to_string(n) at -O2.
  std::string name = target + ".damaged";
  if (n != 0) {
    name += '.';
    name += std::to_string(n);
  }
  return name;
}

tMapDirectoryLookup tMapPaths::lookUpMapDirectory() const {
  tMapDirectoryLookup lookup;
  lookup.directory = fallbackMapDirectory();
  // On the running system the way to the file is judged as it is opened,
  // and the file found is opened by name again where no one else could
  // steer the way (see tRegularFile::tReopening): it leads there again.
  const std::string path = directoryFile();
  tRegularFile file;
  if (!rootPath.empty()) {
    file = tRegularFile::openForReading(path, rootPath);
  } else {
    tJudgedOpening opening = openJudgingTheWay(path, true, tWayEnd::openedOnlyWhereSteerable);
    lookup.steeredBy = opening.steeredBy;
    const tRegularFile::tLocator byName = [&](int flags, struct stat&) {
      return ::open(path.c_str(), flags);
    };
    if (opening.error == 0 && lookup.steeredBy.empty()) {
      // Found, on a way no one else can steer: the path-only descriptor
      // that a walk may have handed over is not needed.
      if (opening.fd >= 0) (void)::close(opening.fd);
      file = tRegularFile::openLocated(opening.status, byName, O_RDONLY);
    } else {
      file = tRegularFile::open(
          [&](int flags, struct stat& located) {
            if ((flags & O_PATH) == 0) return byName(flags, located);
            located = opening.status;
            errno = opening.error;
            return std::exchange(opening.fd, -1);
          },
          O_RDONLY);
    }
  }
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
  auto isLineEnd = [](char byte) { return byte == '\r' || byte == '\n' || byte == '\0'; };
  // Only the first line counts: once it has ended, nothing after it is
  // asked for, not even the end of the file.
  while (count < sizeof bytes && std::find_if(bytes, bytes + count, isLineEnd) == bytes + count) {
    const long got = readRetrying(file.descriptor(), bytes + count, sizeof bytes - count);
    if (got == 0) break;
    if (got < 0) {
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
  while (end < count && !isLineEnd(bytes[end])) ++end;
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
  const bool fromRoot = !rootPath.empty() && line.front() != '/';
  lookup.directory = rootPath + (fromRoot ? "/" : "") + line + kMapDirectorySuffix;
  return lookup;
}

}  // namespace nDRAVI100
