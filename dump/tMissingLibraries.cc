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

namespace {

// A string as a finding quotes it, read no further than the quote shows.
tQuotedString quotedOf(const tMapFileSnapshot& snapshot, const tSnapshotString& text) {
  // One byte more than a quote shows tells whether its last character is whole.
  const std::uint64_t shown = text.length > kLongestQuotedWhole ? kQuotedPrefix + 1 : text.length;
  return quoteOf(snapshot.prefixOf(text, shown), text.length);
}

}  // namespace

tLibraryCensus takeLibraryCensus(const tMapFileSnapshot& snapshot, tScopeChoice scope,
                                 const std::string& root, bool withText) {
  tLibraryCensus census;
  // A library often serves many classes.
  std::unordered_map<std::string_view, tLibraryLookup> seen;
  for (const int mapScope : {0, 1}) {
    if ((mapScope == 0 && scope == tScopeChoice::kOnly) ||
        (mapScope == 1 && scope == tScopeChoice::uOnly)) {
      continue;
    }
    for (const tSnapshotBinding& where : snapshot.bindings.at(static_cast<std::size_t>(mapScope))) {
      tLibraryLookup longPath;
      const tLibraryLookup* lookup = &longPath;
      if (where.library.length > kLongestQuotedWhole) {
        // Longer than any path can be: it names no file.
        const std::string first = snapshot.prefixOf(where.library, 1);
        longPath = first == "/" ? tLibraryLookup{tLibraryState::missing, "missing"}
                                : tLibraryLookup{tLibraryState::relative, ""};
      } else {
        const std::string_view library = snapshot.heldOf(where.library);
        auto found = seen.find(library);
        if (found == seen.end()) {
          found = seen.emplace(library, lookUpLibrary(std::string(library), root)).first;
        }
        lookup = &found->second;
      }
      if (lookup->state == tLibraryState::found) continue;
      tUnfoundBinding binding{letterOfScope(mapScope), where, {}, {}, *lookup};
      if (withText) {
        binding.className = quotedOf(snapshot, where.className);
        binding.library = quotedOf(snapshot, where.library);
      }
      switch (lookup->state) {
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
