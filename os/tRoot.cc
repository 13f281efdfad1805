#include "os/tRoot.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace nDRAVI100 {

namespace {

// openat2 answers EAGAIN when a rename elsewhere raced with a ".." it
// resolved; it is safe to ask again, but not forever.
constexpr int kMostResolveAttempts = 16;

int closeKeepingErrno(int fd) {
  const int saved = errno;
  (void)::close(fd);
  errno = saved;
  return -1;
}

}  // namespace

bool isInsideRoot(const std::string& root, const std::string& path) {
  return !root.empty() && path.starts_with(root) &&
         (path.size() == root.size() || path[root.size()] == '/');
}

int openInRoot(const std::string& root, const std::string& path, int flags, mode_t mode) {
  flags |= O_CLOEXEC;
  if (!isInsideRoot(root, path)) return ::open(path.c_str(), flags, mode);
  const int rootFd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return -1;
  const std::string inside =
      path.size() == root.size() ? std::string(1, '/') : path.substr(root.size());
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? mode : 0;
  how.resolve = RESOLVE_IN_ROOT;
  for (int attempt = 0; attempt < kMostResolveAttempts; ++attempt) {
    const long fd = ::syscall(SYS_openat2, rootFd, inside.c_str(), &how, sizeof how);
    if (fd >= 0) {
      (void)::close(rootFd);
      return static_cast<int>(fd);
    }
    if (errno != EAGAIN && errno != EINTR) break;
  }
  return closeKeepingErrno(rootFd);
}

int statInRoot(const std::string& root, const std::string& path, struct stat& found) {
  const int descriptor = openInRoot(root, path, O_PATH);
  if (descriptor < 0) return errno;
  const int error = ::fstat(descriptor, &found) == 0 ? 0 : errno;
  (void)::close(descriptor);
  return error;
}

}  // namespace nDRAVI100
