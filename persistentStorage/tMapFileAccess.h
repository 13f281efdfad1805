// Loading, saving and recovering a map file on disk.
#pragma once

#include <cstdint>
#include <string>

#include "persistentStorage/tMapFile.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// Returns the path of the map file of one bitness in `directory`:
// "<directory>/dravimap", or "<directory>/dravimap64" when `is64Bit`.
std::string mapFilePathIn(const std::string& directory, bool is64Bit);

// Returns the name under which a damaged map file at `path` is kept.
std::string damagedPathFor(const std::string& path);

// What loadMapFileAt found.
enum class tMapFileState {
  absent,   // no file can be at the path; the maps and the word are unchanged
  loaded,   // the maps hold the file's bindings
  damaged,  // too short, wrong magic or wrong version; the code is in the word
  failed,   // the file is there but cannot be opened, read or closed; the code is in the word
};

// What loadMapFileAt or checkMapFileAt found.
struct tMapFileLoad {
  tMapFileState state = tMapFileState::absent;
  // The file holds exactly what saving the maps read from it would write,
  // so that a save of those maps, unchanged, would change nothing. An
  // absent file is so: empty maps are saved as no file.
  bool asWritten = true;
  std::uint64_t size = 0;  // the file's size in bytes, when it was loaded
};

// Reads the map file at `path` into `first` and, when it is given, `second`.
// A path where no file can be (ENOENT, ENOTDIR, ENAMETOOLONG) is `absent`. A
// file that exists but cannot be opened raises -50204, one whose read fails
// or that is not a regular file (a FIFO there would make the run wait
// forever) -50207 and one whose close fails -50205: these are `failed`,
// because the bytes say nothing about the file, and treating it as empty
// would let the next save replace bindings nobody read.
//
// The file is read between two fstat calls, and read again when they
// disagree: a run that holds no lock may read while another rewrites the
// file in place (see waitForNewFileTimes), and must never take a mix of two
// versions for a map. A file that keeps changing fails with -50207. Does
// nothing and returns `absent` when the word holds an error.
[[nodiscard]] tMapFileLoad loadMapFileAt(const std::string& path, tClassNameMap& first,
                                         tClassNameMap* second, tStatus& status);

// Reads the map file at `path` as loadMapFileAt does, with two sections
// when `twoSections`, but keeps nothing: for a run that needs to know only
// whether the file is whole and as written.
[[nodiscard]] tMapFileLoad checkMapFileAt(const std::string& path, bool twoSections,
                                          tStatus& status);

// Returns true when saving `first` and `second` to `path` would change
// nothing, for a caller that holds the lock, so that the file is still the
// one `loaded` describes: the maps are empty and there was no file, or the
// file holds exactly the bytes the save would write. Reads the file only
// when its size is the one the save would give it.
[[nodiscard]] bool mapFileHolds(const std::string& path, const tMapFileLoad& loaded,
                                const tClassNameMap& first, const tClassNameMap* second);

// What recoverDamagedMapFile did.
enum class tRecovery {
  fromTemporaryFile,  // the complete temporary file beside it was loaded and put in place
  setAside,           // the maps are empty; the damaged file was renamed to its .damaged name
};

// Deals with the map file at `path` after loadMapFileAt found it damaged.
// When the temporary file beside it is a complete, valid map file (a run
// whose rename and copy both failed, or that was cut short during the copy,
// leaves one), loads it into the maps instead and moves it over the damaged
// file at once. Otherwise empties the maps and renames the damaged file to
// damagedPathFor(path), replacing an older one, so that what it still holds
// can be salvaged. Sets no code: failures here cost at most the salvage copy
// and leave the temporary file in place.
tRecovery recoverDamagedMapFile(const std::string& path, tClassNameMap& first,
                                tClassNameMap* second);

// Replaces the map file at `path` atomically with `first` and, when it is
// given, `second` (see tReplacementFile), or removes it, with a stale
// temporary file, when those maps are all empty. On failure the code is in
// the word and the map file holds what it held before, unless the rename
// failed and the copy that stands in for it failed too: the temporary file
// then holds the new maps, and the next load recovers from it. A map that
// does not fit the format raises -50208 before anything is written; a map
// file that cannot be removed, and is still there, raises -50208 too.
void saveMapFileAt(const std::string& path, const tClassNameMap& first, const tClassNameMap* second,
                   tStatus& status);

}  // namespace nDRAVI100
