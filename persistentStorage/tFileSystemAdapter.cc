#include "persistentStorage/tFileSystemAdapter.h"

// The one precondition of the lookup must hold in every build.
#undef NDEBUG
#include <cassert>
#include <utility>

namespace nDRAVI100 {

std::string tFileSystemAdapter::getDRAVIMapDirectory(const tOS& os, tStatus& status,
                                                     const std::string& root,
                                                     std::string* steeredBy) {
  if (isError(status)) return std::string();
  assert(os == kLinux);
  tMapDirectoryLookup lookup = tMapPaths(root).lookUpMapDirectory();
  if (steeredBy != nullptr) *steeredBy = std::move(lookup.steeredBy);
  return std::move(lookup.directory);
}

bool usesUKMaps(tOS os) {
  return os == tFileSystemAdapter::kOS0 || os == tFileSystemAdapter::kLinux ||
         os == tFileSystemAdapter::kOS4;
}

}  // namespace nDRAVI100
