#include "dump/tMapFileSnapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "persistentStorage/tFile.h"
#include "persistentStorage/tRegularFile.h"

namespace nDRAVI100 {

namespace {

// One attempt: true when fstat showed the same version of the file before
// and after it was read, so that what was read belongs to one version.
bool readOnce(const std::string& path, bool checkHead, tMapFileSnapshot& snapshot) {
  snapshot = tMapFileSnapshot();
  const tRegularFile file = tRegularFile::openForReading(path);
  snapshot.mode = file.status().st_mode;
  if (file.notRegular()) {
    snapshot.state = tSnapshotState::notRegular;
    return true;
  }
  if (!file) {
    snapshot.error = file.error();
    const bool missing =
        file.error() == ENOENT || file.error() == ENOTDIR || file.error() == ENAMETOOLONG;
    snapshot.state = missing ? tSnapshotState::absent : tSnapshotState::cannotOpen;
    return true;
  }
  const struct stat& before = file.status();
  if (before.st_size > 0) snapshot.size = static_cast<std::uint64_t>(before.st_size);
  // The stream gets a descriptor of its own, so that the file's own stays
  // open for the second fstat.
  const int own = ::dup(file.descriptor());
  const tFile in(own >= 0 ? ::fdopen(own, "rb") : nullptr);
  if (!in) {
    snapshot.error = errno;
    if (own >= 0) (void)::close(own);
    snapshot.state = tSnapshotState::cannotOpen;
    return true;
  }
  snapshot.scan = scanMapFile(in.get(), snapshot.uMap, &snapshot.kMap, checkHead);
  if (snapshot.scan.readFailed) {
    snapshot.state = tSnapshotState::readFailed;
    snapshot.error = snapshot.scan.readError;
  } else {
    snapshot.state = snapshot.scan.code == 0 ? tSnapshotState::whole : tSnapshotState::damaged;
  }
  struct stat after {};
  return ::fstat(file.descriptor(), &after) == 0 && sameFileVersion(before, after);
}

}  // namespace

tMapFileSnapshot readMapFileSnapshot(const std::string& path, bool checkHead) {
  tMapFileSnapshot snapshot;
  if (readOneVersion(kSnapshotAttempts, [&] { return readOnce(path, checkHead, snapshot); })) {
    return snapshot;
  }
  // What the last read found may mix two versions; none of it is shown.
  snapshot.state = tSnapshotState::unsettled;
  snapshot.scan = tMapFileScan();
  snapshot.uMap.clear();
  snapshot.kMap.clear();
  return snapshot;
}

std::string fileKindOf(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR:
      return "a directory";
    case S_IFIFO:
      return "a FIFO";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFSOCK:
      return "a socket";
    case S_IFLNK:
      return "a symbolic link";
    default:
      return "a regular file";
  }
}

}  // namespace nDRAVI100
