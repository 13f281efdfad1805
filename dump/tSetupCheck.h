// The diagnosis of --check: what a run of zembril on this system meets.
#pragma once

#include <cstdio>

#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

// Writes to `out`, one aligned "label  finding" line each: which directory
// file was read and what its first line named, or why the fallback map
// directory is in use; whether the map directory exists and can be
// written; who holds its lock right now; each map file (dravimap and
// dravimap64), and beside it a .tmp file left behind and a .damaged file;
// a warning for each of the directory file, the map directory and the map
// files that anyone but root can write; and a summary line. Reads only:
// locks are found in /proc/locks, never taken. Returns true when nothing
// needs attention. Every path is taken from `paths`, inside its root. Write
// errors on `out` are left for the caller.
[[nodiscard]] bool checkSetup(const tMapPaths& paths, std::FILE* out);

}  // namespace nDRAVI100
