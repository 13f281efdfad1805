// One read of a map file, or of a file that may be one, for a tool that only
// looks: no lock, no waiting, nothing changed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "persistentStorage/tMapFile.h"

namespace nDRAVI100 {

// What reading the file found.
enum class tSnapshotState {
  absent,      // no file can be at the path (ENOENT, ENOTDIR, ENAMETOOLONG), as zembril sees it
  cannotOpen,  // the file is there but cannot be opened; `error` says why
  notRegular,  // a directory, FIFO, device or socket is at the path (or a link leads to one);
               // nothing was read, and `mode` says which
  readFailed,  // reading reported an error part way; the maps hold what came before it
  unsettled,   // the file changed while it was read, on every attempt; the maps are empty
  damaged,     // the bytes are not a whole map file; the maps hold its whole records
  whole,       // a whole map file
};

// A map file's bindings and how far its bytes could be read.
struct tMapFileSnapshot {
  tSnapshotState state = tSnapshotState::absent;
  int error = 0;           // errno of a failed open or read
  mode_t mode = 0;         // the file's type and permission bits, once it could be opened
  tMapFileScan scan;       // where and why reading stopped, once the file was read
  tClassNameMap uMap;      // the first section's whole records
  tClassNameMap kMap;      // the second section's whole records
  std::uint64_t size = 0;  // the file's size in bytes, when it could be opened
};

// How many times a file that changes while it is read is read again.
constexpr int kSnapshotAttempts = 6;

// Reads the file at `path` as a map file holding a U and a K section. The
// file is opened read-only and without blocking, and read only when it is a
// regular file, so a FIFO or a device in its place can neither make the run
// wait nor be read without end. It is never locked, so it can be read while
// zembril holds the lock of the map directory; a file that a run rewrites
// in place meanwhile is read again, up to kSnapshotAttempts times in all,
// until fstat shows the same version of it before and after the read, so
// the maps never mix two versions. Fails only as the state says. With
// `checkHead` false the magic and version are not checked (see scanMapFile).
[[nodiscard]] tMapFileSnapshot readMapFileSnapshot(const std::string& path, bool checkHead = true);

// Returns what kind of file `mode` describes, as a phrase for a message:
// "a directory", "a FIFO", "a character device", "a block device", "a
// socket", "a symbolic link" or "a regular file".
std::string fileKindOf(mode_t mode);

}  // namespace nDRAVI100
