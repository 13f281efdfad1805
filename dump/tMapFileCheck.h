// The part of --check that reads a map file and the temporary file that a
// save writes beside it.
#pragma once

#include <string>

#include "dump/tFindings.h"
#include "dump/tMapFileSnapshot.h"
#include "persistentStorage/tRecoveryPlan.h"

namespace nDRAVI100 {

// Adds the finding labelled with the name of the map file at `path` (inside
// `root`): absent, valid with its counts, or what is wrong with it and what
// a run does about it; then, when there is one, the finding on the
// temporary file beside it: what it holds and what the next run that takes
// the lock does with it. `lockHeld`: a run holds the lock right now, so
// either file may be caught half written, which needs no attention yet.
// Returns the map file as read, and the plan.
struct tCheckedMapFile {
  std::string path;
  tMapFileSnapshot map;
  tRecoveryPlan plan;
};
tCheckedMapFile checkMapFile(const std::string& path, const std::string& root, bool lockHeld,
                             tFindings& findings);

}  // namespace nDRAVI100
