// One read of a map file, or of a file that may be one, for a tool that only
// looks: no lock, nothing changed.
#pragma once

#include <sys/types.h>

#include <string>

#include "persistentStorage/tMapFileAccess.h"

namespace nDRAVI100 {

// A map file's bindings and how far its bytes could be read.
struct tMapFileSnapshot : tMapFileRead {
  tClassNameMap uMap;  // the first section's whole records
  tClassNameMap kMap;  // the second section's whole records
};

// Reads the file at `path` as a map file holding a U and a K section, as
// zembril reads it (see readMapFile), keeping the whole records of a damaged
// one. It is never locked, so it can be read while zembril holds the lock
// of the map directory: a file that a run rewrites in place meanwhile, or
// copies into, is read again until it is one version again, so the maps
// never mix two versions; without `waitForCopy`, for a caller who knows
// that no run holds the lock, a copy that did not finish is reported at
// once. With `checkHead` false the magic and version are not checked (see
// scanMapFileDescriptor). A path inside `root` is resolved there (see
// openInRoot).
[[nodiscard]] tMapFileSnapshot readMapFileSnapshot(const std::string& path, bool checkHead = true,
                                                   bool waitForCopy = true,
                                                   const std::string& root = std::string());

// Returns what kind of file `mode` describes, as a phrase for a message:
// "a directory", "a FIFO", "a character device", "a block device", "a
// socket", "a symbolic link" or "a regular file".
std::string fileKindOf(mode_t mode);

// How a message names what a snapshot holds: "3 U and 0 K bindings".
[[nodiscard]] std::string countsOf(const tMapFileSnapshot& snapshot);

// Where and how the bytes of a damaged snapshot stop making sense: "wrong
// magic: not a map file at offset 0".
[[nodiscard]] std::string damageOf(const tMapFileSnapshot& snapshot);

// What keeps a snapshot that is neither absent, whole nor damaged from
// showing bindings: "cannot be opened (Permission denied)", "not a regular
// file (a FIFO)", "changed while it was read, on each of 5 reads", "a copy
// into it began and did not finish", "cannot be read (Input/output error)".
[[nodiscard]] std::string troubleOf(const tMapFileSnapshot& snapshot);

}  // namespace nDRAVI100
