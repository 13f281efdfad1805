// The diagnosis of --check: what a run of zembril on this system meets.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/tFailure.h"
#include "dump/tDumpOptions.h"
#include "dump/tFindings.h"
#include "dump/tLockHolders.h"
#include "dump/tMapFileCheck.h"
#include "dump/tMissingLibraries.h"
#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

// One binding of a map file whose library the loader would not find.
struct tMissingLibrary {
  std::string mapFile;
  tUnfoundBinding binding;
};

// Everything --check found: the findings, and beside them, for a reader
// that is a program, what they were found from.
struct tSetupHealth {
  tFindings findings;
  std::string root;      // as given: empty for the running system
  std::string lockFile;  // where a run finds it
  tResult<tFileLocks> locks;
  std::vector<tCheckedMapFile> mapFiles;  // dravimap, then dravimap64
  std::vector<tMissingLibrary> missing;   // of both map files, in the order --missing lists them
};

// Examines what a run of zembril on this system meets: which directory
// file was read and what its first line named, or why the fallback map
// directory is in use; whether the map directory exists and can be
// written; whether zembril's own judgement of the way to the directory
// file and to the map directory lets a run take the lock (see checkWay);
// whether its lock file is one zembril accepts or replaces, and who holds
// the lock right now; each map file (dravimap and dravimap64), and beside it a
// .tmp file left behind and the kept copies of damaged ones, with what the
// next run that takes the lock does with them; the bindings of each whole
// map file whose library is not there (see takeLibraryCensus); and a
// warning for each of the directory file, the map directory, the map files
// and the directories and links on the way to them that anyone but root
// can change. Reads only: the lock is never taken; its holders are found in
// the /proc/PID/fdinfo of the lock file owner's processes, and in
// /proc/locks only where those cannot be seen (see findFileLocks). Every
// path is taken from `paths`, inside its root.
[[nodiscard]] tSetupHealth examineSetup(const tMapPaths& paths);

// Writes what examineSetup found to `out`: in the text form one aligned
// "label  message" line each and a summary line; in the json form one JSON
// document (see writeSetupJson). Returns true when nothing needs
// attention. Write errors on `out` are left for the caller.
[[nodiscard]] bool checkSetup(const tMapPaths& paths, tOutputForm form, std::FILE* out);

}  // namespace nDRAVI100
