#include "dump/tMapFileSnapshot.h"

#include <sys/stat.h>

#include "cli/tFailure.h"

namespace nDRAVI100 {

tMapFileSnapshot readMapFileSnapshot(const std::string& path, bool checkHead, bool waitForCopy,
                                     const std::string& root) {
  tMapFileSnapshot snapshot;
  tMapFileReading how;
  how.first = &snapshot.uMap;
  how.second = &snapshot.kMap;
  how.keepWholeRecords = true;
  how.checkHead = checkHead;
  how.waitForCopy = waitForCopy;
  static_cast<tMapFileRead&>(snapshot) = readMapFile(path, how, root);
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

std::string countsOf(const tMapFileSnapshot& snapshot) {
  return std::to_string(snapshot.uMap.size()) + " U and " + std::to_string(snapshot.kMap.size()) +
         " K bindings";
}

std::string damageOf(const tMapFileSnapshot& snapshot) {
  return snapshot.scan.problem + " at offset " + std::to_string(snapshot.scan.offset);
}

std::string troubleOf(const tMapFileSnapshot& snapshot) {
  switch (snapshot.state) {
    case tMapFileState::cannotOpen:
      return "cannot be opened (" + tFailure::ofErrno(snapshot.error).message() + ")";
    case tMapFileState::notRegular:
      return "not a regular file (" + fileKindOf(snapshot.mode) + ")";
    case tMapFileState::unsettled:
      return "changed while it was read, on each of " + std::to_string(kMapFileReadAttempts) +
             " reads";
    case tMapFileState::copyUnfinished:
      return "a copy into it began and did not finish";
    default:
      return "cannot be read (" + tFailure::ofErrno(snapshot.error).message() + ")";
  }
}

}  // namespace nDRAVI100
