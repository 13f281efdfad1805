// The sort of a map's bindings by class name, which settles the adds that
// wait at the end of a map (see tClassNameMap).
#pragma once

#include "classNameMap/tClassNameMap.h"

namespace nDRAVI100 {

// Sorts the bindings from `from` on by class name, bytes compared as
// unsigned values and a name before the longer names it begins; bindings of
// one class stay in the order they stand (the sort is stable). Returns true
// when two of them have the same class. When `from` is 0 the sorted
// bindings may come in a new array with the same room, so no iterator or
// pointer into `bindings` holds afterwards.
bool sortByClassName(tClassNameMap::tBindings& bindings, std::size_t from = 0);

}  // namespace nDRAVI100
