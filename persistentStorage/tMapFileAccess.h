// Reading, saving and recovering a map file on disk.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "mapFile/tMapFile.h"
#include "mapFile/tRecordWalk.h"
#include "os/tDirectory.h"
#include "os/tRegularFile.h"
#include "persistentStorage/tMapPaths.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// What reading a map file found. zembril, zembril-dump and zembril-sync all
// read map files through readMapFile and see them in these states.
enum class tMapFileState {
  absent,          // no file can be at the path (isMissingFileError): an empty map
  whole,           // a whole map file
  damaged,         // too short, wrong magic or wrong version
  copyUnfinished,  // it carries the copy mark: a copy into it began and has not finished
  cannotOpen,      // it is there but cannot be opened; `error` says why
  notRegular,      // a directory, FIFO, device or socket is there; nothing was read
  readFailed,      // a read or the close failed part way; the bytes say nothing
  unsettled,       // it changed while it was read, on every attempt
};

// What readMapFile found.
struct tMapFileRead {
  tMapFileState state = tMapFileState::absent;
  // The error this read raises in a run, negative as in the word: 0 for
  // absent and whole; nCode::kMapFileTooShort, kBadMagic or kBadVersion for
  // damaged; kMapFileTooShort for a copy unfinished, a read that failed, a
  // file that is not regular or one that kept changing; kCannotOpen for one
  // that cannot be opened; kCannotClose for a failed close.
  tStatus code = 0;
  int error = 0;      // errno of a failed open or read
  mode_t mode = 0;    // the file's type and permission bits, once it could be opened
  tMapFileScan scan;  // where and why reading stopped, once the file was read
  // The file holds exactly what saving the maps read from it would write,
  // so that a save of those maps, unchanged, would change nothing. An
  // absent file is so: empty maps are saved as no file.
  bool asWritten = true;
  std::uint64_t size = 0;         // the file's size in bytes, once it could be opened
  std::optional<tCopyMark> mark;  // what the copy mark names, for copyUnfinished
};

// How readMapFile reads.
struct tMapFileReading {
  int sections = 2;                // 2 for U and K, 1 for a kind with one map
  tClassNameMap* first = nullptr;  // null: only check the file
  tClassNameMap* second = nullptr;
  // Keep the whole records of a damaged file (salvage) instead of emptying
  // the section that ended early.
  bool keepWholeRecords = false;
  bool checkHead = true;  // false: read past a damaged magic and version
  // The reader holds no lock: a file that carries the copy mark is being
  // copied into by a run that holds it, and is read again until the copy
  // is done. The holder of the lock sees the mark at once.
  bool waitForCopy = false;
};

// How many times readMapFile reads a file that changes under it, or that a
// copy is under way into, pausing 20 ms before the second read and twice as
// long before each later one: about 2.5 s in all.
constexpr int kMapFileReadAttempts = 8;

// Reads the map file `name` in `directory` as `how` says. The file is
// opened read-only only when it is a regular file (see tRegularFile), never
// through a link, so a FIFO, a device or a link in its place is neither
// followed, nor waited for, nor read without end. It is read between two
// fstat calls and read again when they show another version (see
// sameFileVersion); after kMapFileReadAttempts reads it is `unsettled`, and
// the maps are empty. Fails only as the state says; the maps hold what the
// state says they hold.
[[nodiscard]] tMapFileRead readMapFile(const tDirectory& directory, const std::string& name,
                                       const tMapFileReading& how);

// Walks the map file at `path` (its directory opened as below) record by
// record, as readMapFile reads it with keepWholeRecords, but instead of
// loading maps hands each whole record to `sink` (see
// walkMapFileDescriptor), in memory bounded whatever a record's length;
// how.first, how.second and how.keepWholeRecords are not looked at. A file
// that changes while it is walked is walked again, `restart` called before
// every walk and once more when none read one version (`unsettled`), so
// the sink is left with the records of one version only. The file that
// was walked is left open in `file` (for the states whole, damaged,
// copyUnfinished and readFailed), its status() the version walked: a
// string that the walk did not hold is read from it afterwards, and
// isStillVersionRead then says whether it was still that version. A close
// that fails is not seen.
[[nodiscard]] tMapFileRead walkMapFile(const std::string& path, const tMapFileReading& how,
                                       tRecordSink& sink, const std::function<void()>& restart,
                                       tRegularFile& file, const std::string& root = std::string());

// Returns true when the file that walkMapFile left open is still the
// version it walked (see sameFileVersion): what was read from it since was
// read from that version.
[[nodiscard]] bool isStillVersionRead(const tRegularFile& file);

// Reads the map file at `path`: its directory is opened (resolving links on
// the way, inside `root`; see openInRoot) and the file is read from it as
// above.
[[nodiscard]] tMapFileRead readMapFile(const std::string& path, const tMapFileReading& how,
                                       const std::string& root = std::string());

// Returns true when saving `first` and `second` to `name` would change
// nothing, for a caller that holds the lock, so that the file is still the
// one `read` describes: the maps are empty and there was no file, or the
// file holds exactly the bytes the save would write. Reads the file only
// when its size is the one the save would give it.
[[nodiscard]] bool mapFileHolds(const tDirectory& directory, const std::string& name,
                                const tMapFileRead& read, const tClassNameMap& first,
                                const tClassNameMap* second);

// Keeps the damaged map file `name` in `directory` for salvage under a damaged name
// that no file has yet (see tMapPaths::damagedNameFor), never replacing an older one.
// Where it cannot be renamed (a bind-mounted map file says EBUSY), copies
// its bytes there instead, unless a kept copy holds the same bytes already.
// Returns false when neither worked: the file must then stay as it is.
[[nodiscard]] bool keepDamagedFile(const tDirectory& directory, const std::string& name);

// Replaces the map file `name` in `directory` atomically with `first` and, when it is
// given, `second` (see tReplacementFile), or removes it, with a stale
// temporary file, when those maps are all empty. On failure the code is in
// the word and the map file holds what it held before, unless the rename
// failed and the copy that stands in for it failed too after marking the
// map file: the temporary file then holds the new maps, and the next run
// that takes the lock finishes the copy. A map that does not fit the format
// raises nCode::kCannotWrite before anything is written; a map file that
// cannot be removed, and is still there, raises it too.
void saveMapFileAt(const tDirectory& directory, const std::string& name, const tClassNameMap& first,
                   const tClassNameMap* second, tStatus& status);

}  // namespace nDRAVI100
