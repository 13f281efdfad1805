#include "dump/tMapFileSnapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "persistentStorage/tFile.h"

namespace nDRAVI100 {

namespace {

// Opens `path` for reading without waiting and returns the descriptor in
// blocking mode again, or -1 with errno set.
int openWithoutWaiting(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    (void)::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

tMapFileSnapshot readMapFileSnapshot(const std::string& path) {
  tMapFileSnapshot snapshot;
  const int fd = openWithoutWaiting(path);
  if (fd < 0) {
    snapshot.error = errno;
    const bool missing = errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG;
    snapshot.state = missing ? tSnapshotState::absent : tSnapshotState::cannotOpen;
    return snapshot;
  }
  struct stat status {};
  if (::fstat(fd, &status) == 0 && status.st_size > 0) {
    snapshot.size = static_cast<std::uint64_t>(status.st_size);
  }
  const tFile in(::fdopen(fd, "rb"));
  if (!in) {
    snapshot.error = errno;
    (void)::close(fd);
    snapshot.state = tSnapshotState::cannotOpen;
    return snapshot;
  }
  snapshot.scan = scanMapFile(in.get(), snapshot.uMap, &snapshot.kMap);
  if (snapshot.scan.readFailed) {
    snapshot.state = tSnapshotState::readFailed;
    snapshot.error = snapshot.scan.readError;
  } else {
    snapshot.state = snapshot.scan.code == 0 ? tSnapshotState::whole : tSnapshotState::damaged;
  }
  return snapshot;
}

}  // namespace nDRAVI100
