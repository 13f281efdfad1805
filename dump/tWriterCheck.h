// The part of --check that asks who, besides root, can change the files
// that root's installers trust, or the way to them.
#pragma once

#include <set>
#include <string>

#include "dump/tFindings.h"

namespace nDRAVI100 {

// Adds an "unsafe" finding, which needs attention, when anyone but root can
// change `path`: whoever can decides what root's installers bind.
void checkWriters(const std::string& path, tFindings& findings);

// Does the same for every directory on the way to `path` from "/" (inside
// `root`), for every symbolic link met on the way (who can replace it) and
// for what it leads to, skipping what `checked` holds and adding to it what
// was found unsafe or judged for good. A sticky directory counts only
// through its owner when the name the way looks up in it is there and is
// root's; one in which the way looks up nothing (the map directory, where
// runs make their files) counts with everyone who may write it.
void checkWritersAlong(const std::string& path, const std::string& root,
                       std::set<std::string>& checked, tFindings& findings);

}  // namespace nDRAVI100
