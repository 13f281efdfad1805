// What the holder of the lock does with a map file and the temporary file
// beside it, decided in one place.
#pragma once

#include <string>

#include "persistentStorage/tMapFileAccess.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// The temporary file beside a map file, as far as recovery cares.
enum class tTemporaryState {
  absent,       // nothing at its name
  namedByMark,  // a whole map file of exactly the size and digest that the map file's copy mark
                // names: the source of a copy that began and did not finish
  other,        // anything else at its name: what a run that never committed left behind
  unreadable,   // it is there, and the map file's mark asks for it, but it cannot be read
};

// What happens to the map file.
enum class tMapAction {
  keep,        // it is absent or whole: the maps are what was read
  finishCopy,  // the maps are the temporary file's, and it is moved into place now
  setAside,    // it is damaged: it is kept for salvage, and the maps start empty
  fail,        // it cannot be read, or its copy cannot be finished: the run fails, changing nothing
};

struct tRecoveryPlan {
  tMapAction map = tMapAction::keep;
  bool removeTemporaryFile = false;

  bool operator==(const tRecoveryPlan&) const = default;
};

// The plan for a map file read as `map` beside a temporary file found as
// `temporary`, for a run that holds the lock. A temporary file is rolled
// forward only when the map file's copy mark names it; every other one was
// left by a run that never committed, is removed, and is never read into
// the maps, whatever the map file holds. The temporary file that a copy
// must be finished from is never removed.
[[nodiscard]] tRecoveryPlan planRecovery(tMapFileState map, tTemporaryState temporary);

// The temporary file as examineTemporaryFile found it.
struct tTemporaryFile {
  tTemporaryState state = tTemporaryState::absent;
  // Open when it is namedByMark: a copy is finished from this descriptor,
  // the one that was read and digested, never from the name again.
  tRegularFile file;
};

// Finds out what the temporary file beside the map file `mapName` in
// `directory` (read as `map`) is. Only a map file that carries the copy
// mark makes the temporary file's content matter: it is then read into
// `first` and `second`, which hold the maps to go on with when it is
// `namedByMark`.
[[nodiscard]] tTemporaryFile examineTemporaryFile(const tDirectory& directory,
                                                  const std::string& mapName,
                                                  const tMapFileRead& map, tClassNameMap& first,
                                                  tClassNameMap* second);

// What examineTemporaryFile finds the temporary file to be, for a reader
// that holds no lock and only foretells what the holder will do: the file
// is walked through (see walkMapFileDescriptor) as a map file of `sections`
// sections, never loaded, in memory bounded whatever its size, and judged
// by the same rules.
[[nodiscard]] tTemporaryState foreseeTemporaryFile(const tDirectory& directory,
                                                   const std::string& mapName,
                                                   const tMapFileRead& map, int sections);

// Carries out `plan` for the map file `mapName` in `directory` (read as
// `map`), with `temporary`, `first` and `second` as examineTemporaryFile
// left them. Empties the maps for setAside and fail. Raises the read's code
// for fail, nCode::kCopyFailed when a damaged file cannot be kept aside or a copy
// cannot be finished; both files are then as they were.
void carryOutRecovery(const tDirectory& directory, const std::string& mapName,
                      const tMapFileRead& map, const tRecoveryPlan& plan,
                      const tTemporaryFile& temporary, tClassNameMap& first, tClassNameMap* second,
                      tStatus& status);

}  // namespace nDRAVI100
