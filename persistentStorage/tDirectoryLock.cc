#include "persistentStorage/tDirectoryLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace nDRAVI100 {

tDirectoryLock::tDirectoryLock(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    // Closing a descriptor that holds no lock cannot lose anything.
    (void)::close(fd);
    return;
  }
  descriptor = fd;
}

tDirectoryLock::~tDirectoryLock() { release(); }

tDirectoryLock::tDirectoryLock(tDirectoryLock&& other) noexcept
    : descriptor(std::exchange(other.descriptor, -1)) {}

tDirectoryLock& tDirectoryLock::operator=(tDirectoryLock&& other) noexcept {
  if (this != &other) {
    release();
    descriptor = std::exchange(other.descriptor, -1);
  }
  return *this;
}

void tDirectoryLock::release() {
  if (descriptor < 0) return;
  // The close drops the lock whatever it returns; the maps were saved before.
  (void)::close(descriptor);
  descriptor = -1;
}

}  // namespace nDRAVI100
