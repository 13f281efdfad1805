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
  // `steeredBy`, when given, receives what tMapDirectoryLookup::steeredBy
  // says of the directory file.
  static std::string getDRAVIMapDirectory(const tOS& os, tStatus& status,
                                          const std::string& root = std::string(),
                                          std::string* steeredBy = nullptr);
};

using tOS = tFileSystemAdapter::tOS;

// Returns true for the kinds whose map file holds `uMap` and `kMap` (0, 2
// and 4); the map file of any other kind holds `sMap`, and kinds 1 and 3 have
// none. Sets nothing.
bool usesUKMaps(tOS os);

}  // namespace nDRAVI100
