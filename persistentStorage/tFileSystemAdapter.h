// Where the map files live on this system.
#pragma once

#include <cstdint>
#include <string>

#include "tool/tStatus.h"

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

  // Returns the map directory, without a trailing '/': the first line of the
  // directory file with "/etc" appended, or the fixed fallback directory
  // when the directory file is missing, unreadable or names nothing. Returns
  // an empty string, reading nothing, when the word already holds an error.
  // Never changes the word. `os` must be kLinux; anything else is a
  // programming error and ends the program through a failed assertion.
  static std::string getDRAVIMapDirectory(const tOS& os, tStatus& status);

  // Returns the path of the directory file that names the map directory.
  static std::string directoryFilePath();

  // Returns the map directory used when the directory file names none.
  static std::string fallbackMapDirectory();

  // Makes both fixed paths above start with `root`. Only the test build of
  // the tool and the tests call this, so that they work on a private tree;
  // the shipped tool never does and always uses the system's own paths.
  static void setFixedPathRootForTesting(const std::string& root);
};

}  // namespace nDRAVI100
