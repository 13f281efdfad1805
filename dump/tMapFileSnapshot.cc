#include "dump/tMapFileSnapshot.h"

#include <sys/stat.h>

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

}  // namespace nDRAVI100
