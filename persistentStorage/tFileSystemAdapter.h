// Where the map files live on this system.
#pragma once

#include <cstdint>
#include <string>

#include "persistentStorage/tMapPaths.h"
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

  // Returns the map directory of the system under `root` (empty: the
  // running one; see tMapPaths), read from the directory file once, or an
  // empty string, reading nothing, when the word already holds an error.
  // Never changes the word. `os` must be kLinux; anything else is a
  // programming error and ends the program through a failed assertion.
  static std::string getDRAVIMapDirectory(const tOS& os, tStatus& status,
                                          const std::string& root = std::string());
};

}  // namespace nDRAVI100
