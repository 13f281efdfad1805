// The sort of a map's bindings by class name, which settles the adds that
// wait at the end of a map (see tClassNameMap).
#pragma once

#include <span>

#include "classNameMap/tClassNameMap.h"

namespace nDRAVI100 {

// Sorts `part` by class name, bytes compared as unsigned values and a name
// before the longer names it begins; bindings of one class stay in the
// order they stand in `part` (the sort is stable). Returns true when two
// bindings have the same class.
bool sortByClassName(std::span<tBindingView> part);

}  // namespace nDRAVI100
