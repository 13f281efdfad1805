// What the next run that takes the lock does with a map file and the files
// beside it, foretold from the very plan that such a run carries out.
#pragma once

#include <string>

#include "dump/tMapFileSnapshot.h"
#include "persistentStorage/tRecoveryPlan.h"

namespace nDRAVI100 {

// The plan for the map file at `path` (inside `root`), read as `map`, and
// the temporary file beside it, as the next run that takes the lock makes
// it. Walks the temporary file through, never loading it, when the map
// file's copy mark names its size.
[[nodiscard]] tRecoveryPlan forecastRecovery(const std::string& path, const std::string& root,
                                             const tMapFileSnapshot& map);

// `plan` in words, for the map file at `path` read as `map`: "the next run
// that takes the lock keeps it as dravimap.damaged.1 and starts from empty
// maps; it removes dravimap.tmp and never reads it". The names are escaped
// by escapeForText.
[[nodiscard]] std::string planInWords(const tRecoveryPlan& plan, const tMapFileRead& map,
                                      const std::string& path);

}  // namespace nDRAVI100
