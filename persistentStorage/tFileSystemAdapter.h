// Where the map files live on this system.
#pragma once

#include <cstdint>
#include <string>

#include "status/tStatus.h"

namespace nDRAVI100 {

class tFileSystemAdapter {
 public:
  // The operating-system kind whose map files are meant. Only kLinux has a
  // map directory; the other kinds exist because the map file format knows
  // them (see usesUKMaps).
  enum tOS : std::int32_t {
    kOS0 = 0,
    kOS1 = 1,
    kLinux = 2,
    kOS3 = 3,
    kOS4 = 4,
  };

  // Why the map directory is the one it is.
  enum class tDirectorySource {
    directoryFile,    // the directory file's first line named it
    noDirectoryFile,  // the fallback: the directory file cannot be opened
    unreadableFile,   // the fallback: reading the directory file failed
    notRegularFile,   // the fallback: a FIFO, device, directory or socket is at its path
    emptyFile,        // the fallback: the directory file holds no byte
    emptyFirstLine,   // the fallback: the first line is empty, or only "/"
  };

  // The map directory and how it was found, for the tools that explain it.
  struct tMapDirectoryLookup {
    std::string directory;  // the map directory, without a trailing '/'
    tDirectorySource source = tDirectorySource::noDirectoryFile;
    int error = 0;          // errno of the failed open or read, when there was one
    std::string firstLine;  // the directory file's first line as read, cut at 4097 bytes
  };

  // Reads the directory file once and returns the map directory: its first
  // line, less one trailing '/', with "/etc" appended and taken inside the
  // root (see setRoot), or the fixed fallback directory when the file is
  // missing, unreadable, not a regular file or names nothing. Never waits
  // and never fails.
  static tMapDirectoryLookup lookUpMapDirectory();

  // Returns lookUpMapDirectory().directory, or an empty string, reading
  // nothing, when the word already holds an error. Never changes the word.
  // `os` must be kLinux; anything else is a programming error and ends the
  // program through a failed assertion.
  static std::string getDRAVIMapDirectory(const tOS& os, tStatus& status);

  // Returns the path of the directory file that names the map directory.
  static std::string directoryFilePath();

  // Returns the map directory used when the directory file names none.
  static std::string fallbackMapDirectory();

  // Makes the directory `root` stand for "/" for the rest of this process,
  // as for a system image that is being built: both fixed paths above and
  // the map directory that the directory file names are taken inside it
  // (a relative name from `root` itself), and the lock, map, temporary and
  // set-aside files follow the map directory. Every one of those paths is
  // resolved as a chroot would resolve it (see openInRoot): no "..", and no
  // symbolic link in the image, leads out of `root`. Trailing slashes are
  // dropped, so "/" is the running system. Returns false and changes
  // nothing when `root` is empty or relative.
  [[nodiscard]] static bool setRoot(const std::string& root);

  // Returns the root that setRoot made, without its trailing '/': empty for
  // the running system.
  static const std::string& root();
};

}  // namespace nDRAVI100
