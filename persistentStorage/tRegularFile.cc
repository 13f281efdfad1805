#include "persistentStorage/tRegularFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

namespace nDRAVI100 {

namespace {

bool operator<(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A clock step backwards, or a file stamped by a machine whose clock ran
// ahead, is not waited out.
constexpr time_t kMostSecondsToWait = 2;

}  // namespace

tRegularFile tRegularFile::openForReading(const std::string& path, bool followLinks) {
  tRegularFile file;
  const int opened = ::open(
      path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
  if (opened < 0) {
    file.openError = errno;
    return file;
  }
  if (::fstat(opened, &file.opened) != 0) {
    file.openError = errno;
    (void)::close(opened);
    return file;
  }
  if (!S_ISREG(file.opened.st_mode)) {
    file.refused = true;
    (void)::close(opened);
    return file;
  }
  file.fd = opened;
  return file;
}

tRegularFile::~tRegularFile() {
  if (fd >= 0) (void)::close(fd);
}

tRegularFile::tRegularFile(tRegularFile&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      openError(other.openError),
      refused(other.refused),
      opened(other.opened) {}

tRegularFile& tRegularFile::operator=(tRegularFile&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) (void)::close(fd);
    fd = std::exchange(other.fd, -1);
    openError = other.openError;
    refused = other.refused;
    opened = other.opened;
  }
  return *this;
}

int tRegularFile::readRest(std::string& bytes) const {
  char buffer[65536];
  for (;;) {
    const long got = readRetrying(fd, buffer, sizeof buffer);
    if (got == 0) return 0;
    if (got < 0) return errno;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

bool tRegularFile::close() {
  const int closing = std::exchange(fd, -1);
  return closing >= 0 && ::close(closing) == 0;
}

bool isMissingFileError(int error) {
  return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG;
}

bool sameFileVersion(const struct stat& before, const struct stat& after) {
  return before.st_dev == after.st_dev && before.st_ino == after.st_ino &&
         before.st_size == after.st_size && sameTime(before.st_mtim, after.st_mtim);
}

long readRetrying(int fd, char* into, std::size_t room) {
  for (;;) {
    const ssize_t got = ::read(fd, into, room);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool writeFully(int fd, const char* bytes, std::size_t count, long offset) {
  while (count > 0) {
    const ssize_t put = offset < 0 ? ::write(fd, bytes, count) : ::pwrite(fd, bytes, count, offset);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    bytes += put;
    count -= static_cast<std::size_t>(put);
    if (offset >= 0) offset += put;
  }
  return true;
}

bool readFullyAt(int fd, char* into, std::size_t count, long offset) {
  while (count > 0) {
    const ssize_t got = ::pread(fd, into, count, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    count -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

void waitForNewFileTimes(const struct stat& file) {
  timespec latest = file.st_ctim < file.st_mtim ? file.st_mtim : file.st_ctim;
  // A file system that keeps whole seconds stamps a change within the same
  // second with the same time.
  if (latest.tv_nsec == 0) latest.tv_nsec = 999999999;
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0) return;
  if (latest.tv_sec - now.tv_sec >= kMostSecondsToWait) return;
  while (!(latest < now)) {
    const timespec pause = {0, 1000000};
    (void)::nanosleep(&pause, nullptr);
    if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0) return;
  }
}

}  // namespace nDRAVI100
