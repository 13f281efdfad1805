#include "persistentStorage/tMapLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "os/tRegularFile.h"
#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

namespace {

constexpr mode_t kLockFileMode = 0600;
constexpr mode_t kOthersBits = 0077;
constexpr int kMostAttempts = 10;

// Opens the lock file there, when it is a regular file, or creates it;
// `file` is what fstat says of it. It is nearly always there already, so
// it is looked for first: creating it first would cost every run a call
// that fails.
int openLockFile(const tDirectory& directory, struct stat& file) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    tRegularFile existing = directory.openFile(tMapPaths::lockFileName(), O_RDWR);
    if (existing) {
      file = existing.status();
      return existing.release();
    }
    if (existing.notRegular() || !isMissingFileError(existing.error())) return -1;
    const int created =
        ::openat(directory.descriptor(), tMapPaths::lockFileName(),
                 O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, kLockFileMode);
    if (created >= 0) {
      if (::fstat(created, &file) == 0) return created;
      (void)::close(created);
      return -1;
    }
    // Another run made it meanwhile: it is looked for again.
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Returns true when a second name is all that is wrong with the lock file:
// no one else can open it, but a name elsewhere could be made to lead to it.
bool onlyLinked(const struct stat& file, uid_t user) {
  struct stat alone = file;
  alone.st_nlink = 1;
  return file.st_nlink > 1 && lockFileFault(alone, user).empty();
}

// Returns true when only root and the run's user may change the directory:
// then what stands at the lock file's name there is theirs to replace.
bool isOwnDirectory(const tDirectory& directory, uid_t user) {
  struct stat found {};
  return ::fstat(directory.descriptor(), &found) == 0 &&
         (found.st_uid == 0 || found.st_uid == user) && (found.st_mode & S_IWOTH) == 0 &&
         directory.steeredBy().empty();
}

// Removes the lock file open at `fd` from the directory once its lock is
// held, so that no run that holds it now goes on beside one that locks the
// new file; a run that waited for it then finds it gone and locks the new
// one. Returns false when the lock cannot be had or another file stands at
// the name by then.
bool removeLocked(const tDirectory& directory, int fd, const struct stat& file) {
  int locked = ::flock(fd, LOCK_EX);
  while (locked != 0 && errno == EINTR) locked = ::flock(fd, LOCK_EX);
  struct stat current {};
  if (locked != 0 || directory.statFile(tMapPaths::lockFileName(), current) != 0 ||
      current.st_dev != file.st_dev || current.st_ino != file.st_ino ||
      ::unlinkat(directory.descriptor(), tMapPaths::lockFileName(), 0) != 0) {
    return false;
  }
  (void)::close(fd);
  return true;
}

}  // namespace

bool replacesLockFile(const struct stat& file, const tDirectory& directory, uid_t user) {
  return onlyLinked(file, user) && isOwnDirectory(directory, user);
}

std::string lockFileFault(const struct stat& file, uid_t owner) {
  if (!S_ISREG(file.st_mode)) return "not a regular file";
  if (file.st_uid != owner) return "owned by uid " + std::to_string(file.st_uid);
  if ((file.st_mode & kOthersBits) != 0) {
    char mode[8];
    (void)std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.st_mode & 07777));
    return std::string("open to others (mode ") + mode + ")";
  }
  // A second name could be a link in a directory that others can change.
  if (file.st_nlink != 1) return std::to_string(file.st_nlink) + " links";
  return std::string();
}

tMapLock::tMapLock(const tDirectory& directory) {
  if (directory.descriptor() < 0) return;
  // A lock file removed while a run waited for it locks nothing any more:
  // the run must lock the one that stands at the path now.
  for (int attempt = 0; attempt < kMostAttempts; ++attempt) {
    struct stat file {};
    const int fd = openLockFile(directory, file);
    if (fd < 0) return;
    // A file that someone else may open is a lock anyone could hold; one
    // that was made open to others may already be held open by them.
    if (!lockFileFault(file, ::geteuid()).empty()) {
      if (replacesLockFile(file, directory, ::geteuid()) && removeLocked(directory, fd, file)) {
        continue;
      }
      (void)::close(fd);
      return;
    }
    int locked = ::flock(fd, LOCK_EX);
    while (locked != 0 && errno == EINTR) locked = ::flock(fd, LOCK_EX);
    struct stat current {};
    if (locked == 0 && directory.statFile(tMapPaths::lockFileName(), current) == 0 &&
        current.st_dev == file.st_dev && current.st_ino == file.st_ino) {
      descriptor = fd;
      return;
    }
    // Closing a descriptor drops whatever lock it held; nothing was read yet.
    (void)::close(fd);
    if (locked != 0) return;
  }
}

tMapLock::~tMapLock() { release(); }

tMapLock::tMapLock(tMapLock&& other) noexcept : descriptor(std::exchange(other.descriptor, -1)) {}

tMapLock& tMapLock::operator=(tMapLock&& other) noexcept {
  if (this != &other) {
    release();
    descriptor = std::exchange(other.descriptor, -1);
  }
  return *this;
}

void tMapLock::release() {
  if (descriptor < 0) return;
  // The close drops the lock whatever it returns; the maps were saved before.
  (void)::close(descriptor);
  descriptor = -1;
}

}  // namespace nDRAVI100
