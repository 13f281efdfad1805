#include "persistentStorage/tReplacementFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <utility>

#include "mapFile/tMapFile.h"
#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

namespace {

constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 07777;
// The copy's first piece, written last: it covers the copy mark.
constexpr long kCopyPiece = 256;
static_assert(kCopyPiece >= static_cast<long>(kCopyMarkSize));
// The rest is copied in pieces this large.
constexpr long kBodyPiece = 64L * 1024;

// Gives the new file at `fd` the owner, group and permission bits of the file
// it replaces. The owner goes first, since changing it clears set-id bits.
bool takeOverAttributes(int fd, const struct stat& target) {
  struct stat created {};
  if (::fstat(fd, &created) != 0) return false;
  const bool chown = created.st_uid != target.st_uid || created.st_gid != target.st_gid;
  if (chown && ::fchown(fd, target.st_uid, target.st_gid) != 0) return false;
  // open() applied the umask; the replacement must keep the target's bits.
  // Bits that the umask left as the target has them need no change, unless
  // the change of owner cleared set-id bits among them.
  return (!chown && (created.st_mode & kPermissionBits) == (target.st_mode & kPermissionBits)) ||
         ::fchmod(fd, target.st_mode & kPermissionBits) == 0;
}

}  // namespace

tReplacementFile::tReplacementFile(const tDirectory& in, const std::string& target, tStatus& status)
    : directory(in), targetName(target), temporaryName(tMapPaths::temporaryNameFor(target)) {
  if (isError(status)) return;
  const int dirFd = directory.descriptor();
  struct stat existing {};
  // A link in the target's place lends nobody's owner or bits.
  const bool hasTarget = directory.statFile(targetName, existing) == 0 && S_ISREG(existing.st_mode);
  // Read and written: the copy fallback reads what was written from here.
  auto create = [&] {
    return dirFd < 0 ? -1
                     : ::openat(dirFd, temporaryName.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
  };
  int opened = create();
  // Only an unfinished run leaves this name behind, and the holder of the
  // lock has dealt with it before any save (a copy that it had to finish
  // was finished when the map file was loaded): whatever is there goes.
  // Nearly always nothing is, so it is removed only when the name is taken.
  if (opened < 0 && errno == EEXIST && ::unlinkat(dirFd, temporaryName.c_str(), 0) == 0) {
    opened = create();
  }
  if (opened < 0) {
    raiseError(status, nCode::kCannotOpen);
    return;
  }
  created = true;
  fd = opened;
  if (hasTarget && !takeOverAttributes(fd, existing)) {
    (void)::close(std::exchange(fd, -1));
    raiseError(status, nCode::kCannotOpen);
  }
}

tReplacementFile::~tReplacementFile() {
  // An unfinished file is abandoned: closing it cannot fail in a way that
  // matters.
  if (fd >= 0) (void)::close(fd);
  if (written >= 0) (void)::close(written);
  if (created && !settled) (void)::unlinkat(directory.descriptor(), temporaryName.c_str(), 0);
}

// NOLINTNEXTLINE(readability-make-member-function-const): it writes the file
void tReplacementFile::write(std::string_view bytes, tStatus& status) {
  if (isError(status) || fd < 0) return;
  if (!writeFully(fd, bytes.data(), bytes.size())) raiseError(status, nCode::kCannotWrite);
}

void tReplacementFile::finishWriting(tStatus& status) {
  if (fd < 0) return;
  if (!isError(status) && ::fsync(fd) != 0) raiseError(status, nCode::kCannotWrite);
  if (!isError(status)) {
    // Above 2: the standard descriptors are never reused for a file.
    written = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (written < 0) raiseError(status, nCode::kCannotWrite);
  }
  // A close reports what an earlier write could not (on NFS, say), even
  // with the second descriptor open.
  if (::close(std::exchange(fd, -1)) != 0) raiseError(status, nCode::kCannotClose);
}

void tReplacementFile::commit(tStatus& status) {
  if (isError(status) || !created || written < 0) return;
  moveIntoPlace(directory, temporaryName, written, targetName, tTargetBefore::whole, status);
  (void)::close(std::exchange(written, -1));
  settled = true;
}

void moveIntoPlace(const tDirectory& directory, const std::string& temporaryName, int source,
                   const std::string& targetName, tTargetBefore before, tStatus& status) {
  const int dirFd = directory.descriptor();
  if (::renameat(dirFd, temporaryName.c_str(), dirFd, targetName.c_str()) == 0) {
    directory.sync();
    return;
  }
  // The copy overwrites the target in place: until it is done, the temporary
  // file is the only complete copy, and its name must survive a power loss.
  directory.sync();
  tStatus copied = 0;
  const bool touched = copyFile(source, directory, targetName, copied);
  if (isError(copied)) {
    // A copy that never touched a whole target changed nothing: the map
    // file holds its old maps, and the temporary file goes with the failed
    // run, or it would be taken for a copy to finish.
    if (!touched && before == tTargetBefore::whole &&
        ::unlinkat(dirFd, temporaryName.c_str(), 0) == 0) {
      directory.sync();
    }
    return raiseError(status, -copied);
  }
  if (::unlinkat(dirFd, temporaryName.c_str(), 0) != 0) {
    raiseWarning(status, nCode::kTemporaryFileLeft);
    return;
  }
  directory.sync();
}

bool copyFile(int source, const tDirectory& directory, const std::string& destinationName,
              tStatus& status) {
  const std::optional<tCopyMark> mark = digestOfFile(source);
  if (!mark) {
    raiseError(status, nCode::kCopyFailed);
    return false;
  }
  // Opened as a regular file or not at all, and never truncated, so that
  // nothing is changed before it is known to be the map file.
  const int dirFd = directory.descriptor();
  int out = ::openat(dirFd, destinationName.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
  if (out < 0 && errno == EEXIST) {
    out = directory.openFile(destinationName, O_WRONLY).release();
  }
  if (out < 0) {
    raiseError(status, nCode::kCannotOpen);
    return false;
  }
  struct stat before {};
  if (::fstat(out, &before) != 0) {
    (void)::close(out);
    raiseError(status, nCode::kCannotOpen);
    return false;
  }
  // A run that reads without the lock trusts what it read only when the
  // file's times did not change meanwhile: every change made here must give
  // the file new times, even one within the clock tick of the last.
  waitForNewFileTimes(before);

  // The copy overwrites the destination in place, so a power loss can leave
  // any mix of old, new and mark bytes in it. The mark goes first and is on
  // disk before anything else changes; the first piece, which covers it, is
  // written last, once the rest is on disk. So until the copy is whole the
  // file carries the mark, and the next holder of the lock finishes the
  // copy from the temporary file the mark names.
  const std::string markBytes = encodeCopyMark(*mark);
  const auto size = static_cast<long>(mark->size);
  const long head = std::min<long>(size, kCopyPiece);
  bool failed = !writeFully(out, markBytes.data(), markBytes.size(), 0) || ::fsync(out) != 0 ||
                ::ftruncate(out, std::max<long>(size, kCopyMarkSize)) != 0;
  auto piece = std::make_unique_for_overwrite<char[]>(kBodyPiece);
  for (long at = head; !failed && at < size;) {
    const auto count = static_cast<std::size_t>(std::min<long>(kBodyPiece, size - at));
    failed =
        !readFullyAt(source, piece.get(), count, at) || !writeFully(out, piece.get(), count, at);
    at += static_cast<long>(count);
  }
  // The copy stands in for an atomic rename, so it must reach the disk before
  // the run reports success.
  if (!failed) failed = ::fsync(out) != 0;
  if (!failed) {
    failed = !readFullyAt(source, piece.get(), static_cast<std::size_t>(head), 0) ||
             !writeFully(out, piece.get(), static_cast<std::size_t>(head), 0) ||
             (size < static_cast<long>(kCopyMarkSize) && ::ftruncate(out, size) != 0) ||
             ::fsync(out) != 0;
  }
  if (::close(out) != 0) failed = true;
  if (failed) raiseError(status, nCode::kCopyFailed);
  return true;
}

}  // namespace nDRAVI100
