#include "persistentStorage/tMapLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace nDRAVI100 {

namespace {

constexpr mode_t kLockFileMode = 0600;
constexpr mode_t kOthersBits = 0077;

tLockState stateAfterFailedOpen(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return tLockState::noDirectory;
    case EACCES:
    case EPERM:
    case EROFS:
      return tLockState::notPermitted;
    case ELOOP:   // a symbolic link, which O_NOFOLLOW refuses
    case EISDIR:  // a directory
    case ENXIO:   // a socket or a device without a reader
      return tLockState::refused;
    default:
      return tLockState::failed;
  }
}

}  // namespace

std::string lockFilePathIn(const std::string& directory) { return directory + "/dravimap.lock"; }

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

tMapLock::tMapLock(const std::string& directory) {
  // Without blocking: whatever is at the path, the open must not wait.
  const int fd =
      ::open(lockFilePathIn(directory).c_str(),
             O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, kLockFileMode);
  if (fd < 0) {
    lockState = stateAfterFailedOpen(errno);
    return;
  }
  struct stat file {};
  if (::fstat(fd, &file) != 0) {
    (void)::close(fd);
    return;
  }
  // A file that someone else may open is a lock anyone could hold; one that
  // was made open to others may already be held open by them.
  if (!lockFileFault(file, ::geteuid()).empty()) {
    (void)::close(fd);
    lockState = tLockState::refused;
    return;
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    // Closing a descriptor that holds no lock cannot lose anything.
    (void)::close(fd);
    return;
  }
  descriptor = fd;
  lockState = tLockState::held;
}

tMapLock::~tMapLock() { release(); }

tMapLock::tMapLock(tMapLock&& other) noexcept
    : descriptor(std::exchange(other.descriptor, -1)),
      lockState(std::exchange(other.lockState, tLockState::failed)) {}

tMapLock& tMapLock::operator=(tMapLock&& other) noexcept {
  if (this != &other) {
    release();
    descriptor = std::exchange(other.descriptor, -1);
    lockState = std::exchange(other.lockState, tLockState::failed);
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
