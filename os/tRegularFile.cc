#include "os/tRegularFile.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <ctime>
#include <utility>
#include <vector>

#include "os/tRoot.h"

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

tRegularFile tRegularFile::open(const tLocator& locate, int access) {
  tRegularFile file;
  const int located = locate(O_PATH | O_CLOEXEC, file.opened);
  if (located < 0) {
    file.openError = errno;
    file.opened = {};
    return file;
  }
  // A file type of 0 is no file's: the locator did not fstat it.
  const bool statted = file.opened.st_mode != 0 || ::fstat(located, &file.opened) == 0;
  if (!statted) file.openError = errno;
  if (statted && !S_ISREG(file.opened.st_mode)) file.refused = true;
  if (!statted || file.refused) {
    (void)::close(located);
    return file;
  }
  const int flags = access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  // Spelt out by hand: the first snprintf of a run cost it 5 µs, more than
  // the open.
  char byDescriptor[32] = "/proc/self/fd/";
  constexpr std::size_t kPrefix = sizeof "/proc/self/fd/" - 1;
  *std::to_chars(byDescriptor + kPrefix, byDescriptor + sizeof byDescriptor - 1, located).ptr =
      '\0';
  int opened = ::open(byDescriptor, flags);
  struct stat now {};
  // A /proc that is not the kernel's (an image's own directory) could name
  // another file: only the located inode will do.
  if (opened >= 0 && (::fstat(opened, &now) != 0 || now.st_dev != file.opened.st_dev ||
                      now.st_ino != file.opened.st_ino)) {
    (void)::close(std::exchange(opened, -1));
    errno = ENOENT;
  }
  // No /proc: by name, as openLocated opens it.
  const bool byName = opened < 0 && isMissingFileError(errno);
  const int reopenError = errno;
  (void)::close(located);
  if (byName) return openLocated(file.opened, locate, access);
  if (opened < 0) {
    file.openError = reopenError;
    return file;
  }
  // The later word on the file.
  file.opened = now;
  file.fd = opened;
  return file;
}

tRegularFile tRegularFile::openLocated(const struct stat& located, const tLocator& locate,
                                       int access) {
  tRegularFile file;
  file.opened = located;
  if (!S_ISREG(located.st_mode)) {
    file.refused = true;
    return file;
  }
  // Checked again, since the name may lead elsewhere by now.
  struct stat ignored {};
  const int opened = locate(access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, ignored);
  if (opened < 0) {
    file.openError = errno;
    return file;
  }
  struct stat now {};
  if (::fstat(opened, &now) != 0) {
    file.openError = errno;
    (void)::close(opened);
    return file;
  }
  // The later word on the file.
  file.opened = now;
  if (!S_ISREG(now.st_mode)) {
    file.refused = true;
    (void)::close(opened);
    return file;
  }
  file.fd = opened;
  return file;
}

tRegularFile tRegularFile::openForReading(const std::string& path, const std::string& root) {
  return open([&](int flags, struct stat&) { return openInRoot(root, path, flags); }, O_RDONLY);
}

tRegularFile tRegularFile::openAt(int directory, const std::string& name, int access,
                                  tReopening reopening) {
  const tLocator locate = [&](int flags, struct stat&) {
    return ::openat(directory, name.c_str(), flags | O_NOFOLLOW);
  };
  if (reopening == tReopening::byName) {
    // Located with one call where a path-only descriptor would take three.
    struct stat located {};
    if (::fstatat(directory, name.c_str(), &located, AT_SYMLINK_NOFOLLOW) != 0) {
      tRegularFile missing;
      missing.openError = errno;
      return missing;
    }
    return openLocated(located, locate, access);
  }
  return open(locate, access);
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

int tRegularFile::release() { return std::exchange(fd, -1); }

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

bool writeAllPieces(int fd, std::span<const std::string_view> pieces) {
  std::vector<iovec> left;
  left.reserve(pieces.size());
  for (const std::string_view piece : pieces) {
    // A const byte is never written through iov_base: writev only reads it.
    if (!piece.empty()) left.push_back({const_cast<char*>(piece.data()), piece.size()});
  }
  std::size_t first = 0;
  while (first < left.size()) {
    const auto count = static_cast<int>(std::min<std::size_t>(left.size() - first, IOV_MAX));
    const ssize_t put = ::writev(fd, left.data() + first, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    // A short write leaves the rest of one piece and the pieces after it.
    auto done = static_cast<std::size_t>(put);
    while (done > 0 && done >= left[first].iov_len) done -= left[first++].iov_len;
    if (done > 0) {
      left[first].iov_base = static_cast<char*>(left[first].iov_base) + done;
      left[first].iov_len -= done;
    }
  }
  return true;
}

void startWriteBack(int fd) {
  // The whole file: pages already on their way are passed over.
  (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
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
