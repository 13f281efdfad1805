#include "persistentStorage/tFileSystemAdapter.h"

// The one precondition of the lookup must hold in every build.
#undef NDEBUG
#include <cassert>

namespace nDRAVI100 {

std::string tFileSystemAdapter::getDRAVIMapDirectory(const tOS& os, tStatus& status,
                                                     const std::string& root) {
  if (isError(status)) return std::string();
  assert(os == kLinux);
  return tMapPaths(root).lookUpMapDirectory().directory;
}

bool usesUKMaps(tOS os) {
  return os == tFileSystemAdapter::kOS0 || os == tFileSystemAdapter::kLinux ||
         os == tFileSystemAdapter::kOS4;
}

}  // namespace nDRAVI100
