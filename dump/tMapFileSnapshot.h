// One read of a map file, or of a file that may be one, for a tool that only
// looks: no lock, no waiting, nothing changed.
#pragma once

#include <cstdint>
#include <string>

#include "persistentStorage/tMapFile.h"

namespace nDRAVI100 {

// What reading the file found.
enum class tSnapshotState {
  absent,      // no file can be at the path (ENOENT, ENOTDIR, ENAMETOOLONG), as zembril sees it
  cannotOpen,  // the file is there but cannot be opened; `error` says why
  readFailed,  // reading reported an error part way; the maps hold what came before it
  damaged,     // the bytes are not a whole map file; the maps hold its whole records
  whole,       // a whole map file
};

// A map file's bindings and how far its bytes could be read.
struct tMapFileSnapshot {
  tSnapshotState state = tSnapshotState::absent;
  int error = 0;           // errno of a failed open or read
  tMapFileScan scan;       // where and why reading stopped, once the file was open
  tClassNameMap uMap;      // the first section's whole records
  tClassNameMap kMap;      // the second section's whole records
  std::uint64_t size = 0;  // the file's size in bytes, when it could be opened
};

// Reads the file at `path` as a map file holding a U and a K section. The
// file is opened read-only and without blocking (a FIFO in its place cannot
// make the run wait for a writer), and never locked, so it can be read while
// zembril holds the map directory's lock. Fails only as the state says.
[[nodiscard]] tMapFileSnapshot readMapFileSnapshot(const std::string& path);

}  // namespace nDRAVI100
