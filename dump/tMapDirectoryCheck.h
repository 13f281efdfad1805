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

// Adds a "way" finding, which needs attention, when `steeredBy`, zembril's
// own judgement of the way to `path` (tMapDirectoryLookup::steeredBy for
// the directory file, tDirectory::steeredBy for the map directory), names
// what another user could change: a run then takes no lock, and so every
// run that changes the map fails. Adds nothing when it is empty.
void checkWay(const std::string& path, const std::string& steeredBy, tFindings& findings);

}  // namespace nDRAVI100
