#include "dump/tMissingLibraries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>

#include "classMap/tMapScope.h"
#include "cli/tFailure.h"
#include "dump/tMapFileSnapshot.h"
#include "os/tRegularFile.h"
#include "os/tRoot.h"

namespace nDRAVI100 {

tLibraryLookup lookUpLibrary(const std::string& library, const std::string& root) {
  if (!library.starts_with('/')) return {tLibraryState::relative, ""};
  struct stat status {};
  if (const int error = statInRoot(root, root + library, status); error != 0) {
    if (isMissingFileError(error) || error == ELOOP) return {tLibraryState::missing, "missing"};
    return {tLibraryState::unknown,
            "cannot be examined (" + tFailure::ofErrno(error).message() + ")"};
  }
  if (!S_ISREG(status.st_mode)) {
    return {tLibraryState::notRegular, fileKindOf(status.st_mode) + ", not a regular file"};
  }
  return {};
}

tLibraryCensus takeLibraryCensus(const tClassNameMap& uMap, const tClassNameMap& kMap,
                                 tScopeChoice scope, const std::string& root) {
  tLibraryCensus census;
  // A library often serves many classes.
  std::unordered_map<std::string_view, tLibraryLookup> seen;
  for (const auto& [mapScope, map] : {std::pair{0, &uMap}, std::pair{1, &kMap}}) {
    if ((mapScope == 0 && scope == tScopeChoice::kOnly) ||
        (mapScope == 1 && scope == tScopeChoice::uOnly)) {
      continue;
    }
    for (const auto& [className, library] : *map) {
      auto found = seen.find(library);
      if (found == seen.end()) {
        found = seen.emplace(library, lookUpLibrary(std::string(library), root)).first;
      }
      const tLibraryLookup& lookup = found->second;
      tUnfoundBinding binding{letterOfScope(mapScope), std::string(className), std::string(library),
                              lookup};
      switch (lookup.state) {
        case tLibraryState::found:
          break;
        case tLibraryState::missing:
        case tLibraryState::notRegular:
          census.missing.push_back(std::move(binding));
          break;
        case tLibraryState::relative:
          census.relative.push_back(std::move(binding));
          break;
        case tLibraryState::unknown:
          census.unknown.push_back(std::move(binding));
          break;
      }
    }
  }
  return census;
}

}  // namespace nDRAVI100
