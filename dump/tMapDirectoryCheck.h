// The part of --check that asks where the map directory is: what the
// directory file says, and whether the directory it leads to can be used.
#pragma once

#include <string>

#include "dump/tFindings.h"
#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

// Adds the "directory file" finding: the first line of the directory file
// of `paths` as `lookup` read it, and whether a relative name makes each
// run find its own map; or why the fallback map directory is in use, which
// needs attention unless the file is merely absent.
void checkDirectoryFile(const tMapPaths& paths, const tMapDirectoryLookup& lookup,
                        tFindings& findings);

// Adds the "map directory" finding: whether `directory` (where `named`, the
// map directory as the lookup named it, resolves) exists and can be
// written; one that cannot needs attention.
void checkMapDirectory(const std::string& named, const std::string& directory, tFindings& findings);

}  // namespace nDRAVI100
