#include "persistentStorage/tReplacementFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "persistentStorage/tRegularFile.h"

namespace nDRAVI100 {

namespace {

constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 07777;
constexpr std::size_t kCopyPiece = 256;

// Gives the new file at `fd` the owner, group and permission bits of the file
// it replaces. The owner goes first, since changing it clears set-id bits.
bool takeOverAttributes(int fd, const struct stat& target) {
  struct stat created {};
  if (::fstat(fd, &created) != 0) return false;
  if ((created.st_uid != target.st_uid || created.st_gid != target.st_gid) &&
      ::fchown(fd, target.st_uid, target.st_gid) != 0) {
    return false;
  }
  // open() applied the umask; the replacement must keep the target's bits.
  return ::fchmod(fd, target.st_mode & kPermissionBits) == 0;
}

}  // namespace

std::string tReplacementFile::temporaryPathFor(const std::string& target) {
  return target + ".tmp";
}

void syncParentDirectory(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  (void)::close(fd);
}

tReplacementFile::tReplacementFile(const std::string& target, tStatus& status)
    : targetPath(target), temporaryPath(temporaryPathFor(target)) {
  if (isError(status)) return;
  // Only an unfinished run leaves this name behind. The loader has already
  // taken what it needed from it: a complete copy beside a damaged map file
  // was put in place when the map file was loaded.
  (void)::unlink(temporaryPath.c_str());

  struct stat existing {};
  const bool hasTarget = ::stat(targetPath.c_str(), &existing) == 0;
  const int fd = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        kNewFileMode);
  if (fd < 0) {
    raiseError(status, nCode::kCannotOpen);
    return;
  }
  created = true;
  if (hasTarget && !takeOverAttributes(fd, existing)) {
    (void)::close(fd);
    raiseError(status, nCode::kCannotOpen);
    return;
  }
  file = tFile(::fdopen(fd, "wb"));
  if (!file) {
    (void)::close(fd);
    raiseError(status, nCode::kCannotOpen);
  }
}

tReplacementFile::~tReplacementFile() {
  // An unfinished file is abandoned: its stream's result does not matter.
  file = tFile();
  if (created && !settled) (void)::unlink(temporaryPath.c_str());
}

void tReplacementFile::finishWriting(tStatus& status) {
  if (!file) return;
  if (!isError(status) && (std::fflush(file.get()) != 0 || ::fsync(::fileno(file.get())) != 0)) {
    raiseError(status, nCode::kCannotWrite);
  }
  if (!file.close()) raiseError(status, nCode::kCannotClose);
}

void tReplacementFile::commit(tStatus& status) {
  if (isError(status) || !created || file) return;
  moveIntoPlace(temporaryPath, targetPath, status);
  settled = true;
}

void moveIntoPlace(const std::string& temporary, const std::string& target, tStatus& status) {
  if (std::rename(temporary.c_str(), target.c_str()) == 0) {
    syncParentDirectory(target);
    return;
  }
  // The copy overwrites the target in place: until it is done, the temporary
  // file is the only complete copy, and its name must survive a power loss.
  syncParentDirectory(target);
  tStatus copied = 0;
  copyFile(temporary, target, copied);
  // A copy that could not even open the target changed nothing: the map
  // file holds its old maps, whole, and the temporary file must go with the
  // failed run, or a later damage to the map file would bring its maps back.
  if (copied == -nCode::kCannotOpen && std::remove(temporary.c_str()) == 0) {
    syncParentDirectory(target);
  }
  if (isError(copied)) return raiseError(status, -copied);
  if (std::remove(temporary.c_str()) != 0) {
    raiseWarning(status, nCode::kTemporaryFileLeft);
    return;
  }
  syncParentDirectory(target);
}

void copyFile(const std::string& source, const std::string& destination, tStatus& status) {
  const tFile in = tFile::open(source, "rb");
  if (!in) return raiseError(status, nCode::kCannotOpen);
  // Opened without truncating and without blocking, so that nothing is
  // changed before it is known to be a regular file.
  const int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                        kNewFileMode);
  if (fd < 0) return raiseError(status, nCode::kCannotOpen);
  struct stat before {};
  if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
    (void)::close(fd);
    return raiseError(status, nCode::kCannotOpen);
  }
  // A run that reads without the lock trusts what it read only when the
  // file's times did not change meanwhile: every change made here must give
  // the file new times, even one within the clock tick of the last.
  waitForNewFileTimes(before);
  tFile out(::fdopen(fd, "wb"));
  if (!out) {
    (void)::close(fd);
    return raiseError(status, nCode::kCannotOpen);
  }
  if (::ftruncate(fd, 0) != 0) return raiseError(status, nCode::kCopyFailed);

  // The copy overwrites the destination in place, so a power loss can leave
  // any mix of old, new and zero bytes in it. The first piece, which holds a
  // map file's magic, is written last, once the rest is on disk: until then
  // the file begins with a hole that reads as zeros, so a copy cut short is
  // always found damaged and the complete source beside it is used instead.
  std::array<char, kCopyPiece> first{};
  const std::size_t firstCount = std::fread(first.data(), 1, first.size(), in.get());
  bool failed = std::ferror(in.get()) != 0;
  if (!failed && std::feof(in.get()) == 0) {
    failed = std::fseek(out.get(), static_cast<long>(firstCount), SEEK_SET) != 0;
  }
  std::array<char, kCopyPiece> piece{};
  while (!failed && std::feof(in.get()) == 0) {
    const std::size_t count = std::fread(piece.data(), 1, piece.size(), in.get());
    failed = std::ferror(in.get()) != 0 ||
             std::fwrite(piece.data(), 1, count, out.get()) != count || std::ferror(out.get()) != 0;
  }
  // The copy stands in for an atomic rename, so it must reach the disk before
  // the run reports success.
  auto sync = [&out] { return std::fflush(out.get()) == 0 && ::fsync(::fileno(out.get())) == 0; };
  if (!failed) failed = !sync();
  if (!failed) {
    failed = std::fseek(out.get(), 0, SEEK_SET) != 0 ||
             std::fwrite(first.data(), 1, firstCount, out.get()) != firstCount || !sync();
  }
  if (!out.close()) failed = true;
  if (failed) raiseError(status, nCode::kCopyFailed);
}

}  // namespace nDRAVI100
