#include "persistentStorage/tMapFileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "persistentStorage/tRegularFile.h"
#include "persistentStorage/tReplacementFile.h"

namespace nDRAVI100 {

namespace {

// Returns true when a failed call's errno says that no file can be at the
// path: it is not there, a directory above it is not one, or the path is too
// long to name anything.
bool isMissing(int error) { return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG; }

// Returns true when nothing is at `path`, not even a dangling link.
bool isAbsent(const std::string& path) {
  struct stat ignored {};
  return ::lstat(path.c_str(), &ignored) != 0 && isMissing(errno);
}

}  // namespace

std::string mapFilePathIn(const std::string& directory, bool is64Bit) {
  return directory + (is64Bit ? "/dravimap64" : "/dravimap");
}

std::string damagedPathFor(const std::string& path) { return path + ".damaged"; }

namespace {

// A file that changes under every read is given up on after this many.
constexpr int kMostReads = 5;

tMapFileLoad readAt(const std::string& path, int sections, tClassNameMap* first,
                    tClassNameMap* second, tStatus& status) {
  if (isError(status)) return {};
  tMapFileLoad load;
  tStatus read = 0;
  const bool settled = readOneVersion(kMostReads, [&] {
    load = {};
    read = 0;
    for (tClassNameMap* map : {first, second}) {
      if (map != nullptr) map->clear();
    }
    // A descriptor, not a stream: the reader takes the file in large pieces
    // and decodes the fields in its own buffer.
    tRegularFile file = tRegularFile::openForReading(path);
    if (file.notRegular() || (!file && !isMissing(file.error()))) {
      read = file.notRegular() ? -nCode::kMapFileTooShort : -nCode::kCannotOpen;
      load = {tMapFileState::failed, false};
      return true;
    }
    if (!file) return true;
    const tMapFileScan scan =
        readMapFileDescriptor(file.descriptor(), sections, first, second, read);
    struct stat after {};
    const bool oneVersion =
        ::fstat(file.descriptor(), &after) == 0 && sameFileVersion(file.status(), after);
    if (!file.close()) {
      read = -nCode::kCannotClose;
      load = {tMapFileState::failed, false};
      return true;
    }
    if (read == 0) {
      load = {tMapFileState::loaded, scan.asWritten, static_cast<std::uint64_t>(after.st_size)};
    } else {
      load = {scan.readFailed ? tMapFileState::failed : tMapFileState::damaged, false};
    }
    return oneVersion;
  });
  if (!settled) {
    for (tClassNameMap* map : {first, second}) {
      if (map != nullptr) map->clear();
    }
    read = -nCode::kMapFileTooShort;
    load = {tMapFileState::failed, false};
  }
  if (read != 0) raiseError(status, -read);
  return load;
}

}  // namespace

tMapFileLoad loadMapFileAt(const std::string& path, tClassNameMap& first, tClassNameMap* second,
                           tStatus& status) {
  return readAt(path, second != nullptr ? 2 : 1, &first, second, status);
}

tMapFileLoad checkMapFileAt(const std::string& path, bool twoSections, tStatus& status) {
  return readAt(path, twoSections ? 2 : 1, nullptr, nullptr, status);
}

bool mapFileHolds(const std::string& path, const tMapFileLoad& loaded, const tClassNameMap& first,
                  const tClassNameMap* second) {
  const bool empty = first.empty() && (second == nullptr || second->empty());
  if (loaded.state == tMapFileState::absent || empty) {
    return loaded.state == tMapFileState::absent && empty;
  }
  // The size tells most changes apart without reading a byte.
  if (loaded.state != tMapFileState::loaded || loaded.size != mapFileSize(first, second)) {
    return false;
  }
  const tRegularFile file = tRegularFile::openForReading(path);
  return file && descriptorHoldsMapFile(file.descriptor(), first, second);
}

tRecovery recoverDamagedMapFile(const std::string& path, tClassNameMap& first,
                                tClassNameMap* second) {
  first.clear();
  if (second != nullptr) second->clear();

  const std::string temporary = tReplacementFile::temporaryPathFor(path);
  tClassNameMap recoveredFirst;
  tClassNameMap recoveredSecond;
  tStatus loaded = 0;
  // Only a save makes this name, always as a regular file: anything else
  // there (a link, say) was not left by a run and is not moved into place.
  struct stat found {};
  if (::lstat(temporary.c_str(), &found) == 0 && S_ISREG(found.st_mode) &&
      loadMapFileAt(temporary, recoveredFirst, second != nullptr ? &recoveredSecond : nullptr,
                    loaded)
              .state == tMapFileState::loaded) {
    first = std::move(recoveredFirst);
    if (second != nullptr) *second = std::move(recoveredSecond);
    // Put the complete copy in place now rather than at the save: the save
    // starts by removing the temporary file, and until its own new file is
    // in place the damaged map file would be all there is.
    tStatus moved = 0;
    moveIntoPlace(temporary, path, moved);
    return tRecovery::fromTemporaryFile;
  }
  if (std::rename(path.c_str(), damagedPathFor(path).c_str()) == 0) syncParentDirectory(path);
  return tRecovery::setAside;
}

void saveMapFileAt(const std::string& path, const tClassNameMap& first, const tClassNameMap* second,
                   tStatus& status) {
  if (isError(status)) return;
  if (first.empty() && (second == nullptr || second->empty())) {
    (void)::unlink(tReplacementFile::temporaryPathFor(path).c_str());
    // Empty maps are stored as no file; a file that stays would bring the
    // old bindings back in the next run. A removal may fail for a file that
    // is not there with another errno than ENOENT (EROFS on a read-only
    // directory): only a file that is still there is a failure.
    if (std::remove(path.c_str()) != 0 && !isAbsent(path)) {
      raiseError(status, nCode::kCannotWrite);
    } else {
      syncParentDirectory(path);
    }
    return;
  }
  if (!fitsMapFileFormat(first) || (second != nullptr && !fitsMapFileFormat(*second))) {
    return raiseError(status, nCode::kCannotWrite);
  }

  tReplacementFile replacement(path, status);
  if (isError(status)) return;
  writeMapFileContents(replacement.stream(), first, second, status);
  replacement.finishWriting(status);
  replacement.commit(status);
}

}  // namespace nDRAVI100
