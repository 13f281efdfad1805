// Which bindings of a map name a library that the loader would not find:
// what --check counts and --missing lists.
#pragma once

#include <string>
#include <vector>

#include "dump/tDumpOptions.h"
#include "dump/tMapFileSnapshot.h"
#include "dump/tQuotedString.h"

namespace nDRAVI100 {

// What is at a binding's library path.
enum class tLibraryState {
  found,       // a regular file, once every link is followed
  missing,     // nothing there, a link that leads nowhere, or a loop of links
  notRegular,  // something that is not a regular file: a directory, a FIFO...
  relative,    // a path that is not absolute: the loader's search decides, so it is not looked up
  unknown,     // it cannot be examined (a directory on the way that the caller cannot search)
};

struct tLibraryLookup {
  tLibraryState state = tLibraryState::found;
  std::string why;  // for all but found and relative: "missing", "not a regular file (a
                    // directory)", "cannot be examined (Permission denied)"
};

// Looks `library`, a path as bound, up in `root` (empty for the running
// system), as the loader of that system would find it: inside the root as
// a chroot would resolve it, every link followed, never leading out of it.
[[nodiscard]] tLibraryLookup lookUpLibrary(const std::string& library, const std::string& root);

// One binding whose library is not found, with why.
struct tUnfoundBinding {
  char letter = 'U';
  tSnapshotBinding binding;  // where its strings are in the snapshot
  tQuotedString className;   // as a finding quotes them, when asked for
  tQuotedString library;
  tLibraryLookup lookup;
};

// The bindings of `snapshot` (of the one map `scope` picks, or both), U
// first, each map in its class order, whose library is not found (missing
// or notRegular), and apart from them those whose path is relative and
// those whose library cannot be examined. Each library path is looked up
// once, however many classes it is bound to; a path longer than
// kLongestQuotedWhole names no file, and is missing unless it is relative,
// without a look. With `withText` each binding listed carries its strings
// as a finding quotes them (see quoteOf), read up to what a quote shows.
struct tLibraryCensus {
  std::vector<tUnfoundBinding> missing;
  std::vector<tUnfoundBinding> relative;
  std::vector<tUnfoundBinding> unknown;
};
[[nodiscard]] tLibraryCensus takeLibraryCensus(const tMapFileSnapshot& snapshot, tScopeChoice scope,
                                               const std::string& root, bool withText);

}  // namespace nDRAVI100
