#include "persistentStorage/tMapFileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "os/tRegularFile.h"
#include "persistentStorage/tReplacementFile.h"

namespace nDRAVI100 {

namespace {

// Returns true when nothing is at `name`, not even a dangling link.
bool isAbsent(const tDirectory& directory, const std::string& name) {
  struct stat ignored {};
  return isMissingFileError(directory.statFile(name, ignored));
}

// A read that found no bytes to trust.
tMapFileRead unreadable(tMapFileState state, std::int32_t code, int error, mode_t mode) {
  tMapFileRead read;
  read.state = state;
  raiseError(read.code, code);
  read.error = error;
  read.mode = mode;
  read.asWritten = false;
  return read;
}

// One read of the file: true when it read one version of it (or found that
// nothing needs reading), false when it must be read again. `scanFile`
// reads the open descriptor and sets the code of what it found. With
// `keep`, the file that was read is left open there instead of closed.
template <typename tScanFile>
bool readOnce(const tDirectory& directory, const std::string& name, const tMapFileReading& how,
              tMapFileRead& read, tScanFile scanFile, tRegularFile* keep) {
  read = {};
  if (keep != nullptr) *keep = tRegularFile();
  for (tClassNameMap* map : {how.first, how.second}) {
    if (map != nullptr) map->clear();
  }
  tRegularFile file = directory.openFile(name, O_RDONLY);
  read.mode = file.status().st_mode;
  if (file.notRegular()) {
    read = unreadable(tMapFileState::notRegular, nCode::kMapFileTooShort, 0, read.mode);
    return true;
  }
  if (!file) {
    if (isMissingFileError(file.error())) {
      read.error = file.error();
      return true;
    }
    read = unreadable(tMapFileState::cannotOpen, nCode::kCannotOpen, file.error(), read.mode);
    return true;
  }
  const struct stat before = file.status();
  read.size = static_cast<std::uint64_t>(before.st_size);
  tStatus code = 0;
  read.scan = scanFile(file.descriptor(), code);
  read.asWritten = code == 0 && read.scan.asWritten;
  if (read.scan.readFailed) {
    read.state = tMapFileState::readFailed;
    raiseError(read.code, nCode::kMapFileTooShort);
    read.error = read.scan.readError;
  } else if (code == -nCode::kBadMagic && (read.mark = readCopyMark(file.descriptor()))) {
    read.state = tMapFileState::copyUnfinished;
    raiseError(read.code, nCode::kMapFileTooShort);
  } else {
    read.state = code == 0 ? tMapFileState::whole : tMapFileState::damaged;
    read.code = code;
  }
  struct stat after {};
  const bool oneVersion = ::fstat(file.descriptor(), &after) == 0 && sameFileVersion(before, after);
  if (keep != nullptr) {
    *keep = std::move(file);
  } else if (!file.close() && read.code == 0) {
    read.state = tMapFileState::readFailed;
    raiseError(read.code, nCode::kCannotClose);
    read.error = errno;
  }
  return oneVersion && !(how.waitForCopy && read.state == tMapFileState::copyUnfinished);
}

}  // namespace

tMapFileRead readMapFile(const std::string& path, const tMapFileReading& how,
                         const std::string& root) {
  return readMapFile(tDirectory::holding(path, root), fileNameOf(path), how);
}

tMapFileRead readMapFile(const tDirectory& directory, const std::string& name,
                         const tMapFileReading& how) {
  const auto scanFile = [&](int fd, tStatus& code) {
    if (how.first == nullptr) {
      return readMapFileDescriptor(fd, how.sections, nullptr, nullptr, code);
    }
    if (how.keepWholeRecords) {
      tMapFileScan scan =
          scanMapFileDescriptor(fd, how.sections, *how.first, how.second, how.checkHead);
      if (!scan.readFailed) code = scan.code;
      return scan;
    }
    return readMapFileDescriptor(fd, how.sections, how.first, how.second, code);
  };
  tMapFileRead read;
  if (readOneVersion(kMapFileReadAttempts,
                     [&] { return readOnce(directory, name, how, read, scanFile, nullptr); })) {
    return read;
  }
  // The last read may mix two versions, or a copy is still under way: none
  // of it is kept. A copy that never finishes reads as unfinished.
  for (tClassNameMap* map : {how.first, how.second}) {
    if (map != nullptr) map->clear();
  }
  if (read.state == tMapFileState::copyUnfinished) return read;
  return unreadable(tMapFileState::unsettled, nCode::kMapFileTooShort, 0, read.mode);
}

tMapFileRead walkMapFile(const std::string& path, const tMapFileReading& how, tRecordSink& sink,
                         const std::function<void()>& restart, tRegularFile& file,
                         const std::string& root) {
  const tDirectory directory = tDirectory::holding(path, root);
  const std::string name = fileNameOf(path);
  const auto scanFile = [&](int fd, tStatus& code) {
    restart();
    tMapFileScan scan = walkMapFileDescriptor(fd, how.sections, sink, how.checkHead);
    if (!scan.readFailed) code = scan.code;
    return scan;
  };
  tMapFileRead read;
  if (readOneVersion(kMapFileReadAttempts,
                     [&] { return readOnce(directory, name, how, read, scanFile, &file); })) {
    return read;
  }
  // The last walk may have handed out two versions: none of it is kept.
  restart();
  (void)file.close();
  if (read.state == tMapFileState::copyUnfinished) return read;
  return unreadable(tMapFileState::unsettled, nCode::kMapFileTooShort, 0, read.mode);
}

bool isStillVersionRead(const tRegularFile& file) {
  struct stat now {};
  return file && ::fstat(file.descriptor(), &now) == 0 && sameFileVersion(file.status(), now);
}

bool mapFileHolds(const tDirectory& directory, const std::string& name, const tMapFileRead& read,
                  const tClassNameMap& first, const tClassNameMap* second) {
  const bool empty = first.empty() && (second == nullptr || second->empty());
  if (read.state == tMapFileState::absent || empty) {
    return read.state == tMapFileState::absent && empty;
  }
  // The size tells most changes apart without reading a byte.
  if (read.state != tMapFileState::whole || read.size != mapFileSize(first, second)) {
    return false;
  }
  const tRegularFile file = directory.openFile(name, O_RDONLY);
  return file && descriptorHoldsMapFile(file.descriptor(), first, second);
}

namespace {

// How many kept copies of damaged map files are looked at before giving up
// on a free name.
constexpr int kMostKeptCopies = 1000;

// Returns true when the files open at `a` and `b` hold the same bytes.
bool sameBytes(int a, int b) {
  constexpr std::size_t kPiece = std::size_t{64} * 1024;
  auto left = std::make_unique_for_overwrite<char[]>(kPiece);
  auto right = std::make_unique_for_overwrite<char[]>(kPiece);
  for (;;) {
    const long got = readRetrying(a, left.get(), kPiece);
    if (got < 0) return false;
    if (got == 0) return readRetrying(b, right.get(), 1) == 0;
    const auto count = static_cast<std::size_t>(got);
    for (std::size_t at = 0; at < count;) {
      const long more = readRetrying(b, right.get() + at, count - at);
      if (more <= 0) return false;
      at += static_cast<std::size_t>(more);
    }
    if (std::memcmp(left.get(), right.get(), count) != 0) return false;
  }
}

// Copies the damaged file `name` to a new file `copy` beside it, synced.
// Returns false, leaving no file at `copy`, when that fails; sets `exists`
// when `copy` was taken already.
bool copyAside(const tDirectory& directory, const std::string& name, const std::string& copy,
               bool& exists) {
  const tRegularFile in = directory.openFile(name, O_RDONLY);
  if (!in) return false;
  const int out =
      ::openat(directory.descriptor(), copy.c_str(),
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, in.status().st_mode & 0666);
  if (out < 0) {
    exists = errno == EEXIST;
    return false;
  }
  char piece[65536];
  bool copied = true;
  for (long got = 0; copied && (got = readRetrying(in.descriptor(), piece, sizeof piece)) != 0;) {
    copied = got > 0 && writeFully(out, piece, static_cast<std::size_t>(got));
  }
  copied = copied && ::fsync(out) == 0;
  if (::close(out) != 0) copied = false;
  if (!copied) (void)::unlinkat(directory.descriptor(), copy.c_str(), 0);
  return copied;
}

// Returns true when the file `copy` holds what the file `name` holds.
bool keptAlready(const tDirectory& directory, const std::string& name, const std::string& copy) {
  const tRegularFile kept = directory.openFile(copy, O_RDONLY);
  const tRegularFile damaged = directory.openFile(name, O_RDONLY);
  return kept && damaged && kept.status().st_size == damaged.status().st_size &&
         sameBytes(kept.descriptor(), damaged.descriptor());
}

}  // namespace

bool keepDamagedFile(const tDirectory& directory, const std::string& name) {
  const int dirFd = directory.descriptor();
  bool renameFailed = false;
  for (int n = 0; n < kMostKeptCopies; ++n) {
    const std::string aside = tMapPaths::damagedNameFor(name, n);
    if (!renameFailed) {
      // Never over an older copy: each damage keeps a name of its own.
      if (::renameat2(dirFd, name.c_str(), dirFd, aside.c_str(), RENAME_NOREPLACE) == 0) {
        directory.sync();
        return true;
      }
      if (errno == EEXIST) continue;
      renameFailed = true;
    }
    // The map file cannot leave its place (EBUSY where it is a mount
    // point): its bytes go aside instead, once.
    if (keptAlready(directory, name, aside)) return true;
    bool exists = false;
    if (copyAside(directory, name, aside, exists)) {
      directory.sync();
      return true;
    }
    if (!exists) return false;
  }
  return false;
}

void saveMapFileAt(const tDirectory& directory, const std::string& name, const tClassNameMap& first,
                   const tClassNameMap* second, tStatus& status) {
  if (isError(status)) return;
  const int dirFd = directory.descriptor();
  if (first.empty() && (second == nullptr || second->empty())) {
    (void)::unlinkat(dirFd, tMapPaths::temporaryNameFor(name).c_str(), 0);
    // Empty maps are stored as no file; a file that stays would bring the
    // old bindings back in the next run. A removal may fail for a file that
    // is not there with another errno than ENOENT (EROFS on a read-only
    // directory): only a file that is still there is a failure.
    if (::unlinkat(dirFd, name.c_str(), 0) != 0 && !isAbsent(directory, name)) {
      raiseError(status, nCode::kCannotWrite);
    } else {
      directory.sync();
    }
    return;
  }
  if (!fitsMapFileFormat(first) || (second != nullptr && !fitsMapFileFormat(*second))) {
    return raiseError(status, nCode::kCannotWrite);
  }

  tReplacementFile replacement(directory, name, status);
  if (isError(status)) return;
  writeMapFileDescriptor(replacement.descriptor(), first, second, status);
  replacement.finishWriting(status);
  replacement.commit(status);
}

}  // namespace nDRAVI100
