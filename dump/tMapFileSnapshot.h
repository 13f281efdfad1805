// One read of a map file, or of a file that may be one, for a tool that only
// looks: no lock, nothing changed.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dump/tDumpOptions.h"
#include "persistentStorage/tMapFileAccess.h"

namespace nDRAVI100 {

// A class name or library path of a snapshot: held by it, or, when it is
// longer than kLargestWalkedString, only where it is in the file.
struct tSnapshotString {
  bool inFile = false;
  std::uint64_t at = 0;  // where its bytes start: in the snapshot's own bytes, or in the file
  std::uint64_t length = 0;
};

struct tSnapshotBinding {
  tSnapshotString className;
  tSnapshotString library;
};

// Which bindings a read keeps: all conditions hold for each one kept.
struct tBindingFilter {
  bool keep = true;  // false: keep none, only count them
  tScopeChoice scope = tScopeChoice::both;
  std::vector<std::string> classes;    // one of these classes; empty: any
  std::vector<std::string> libraries;  // bound to one of these; empty: any
  // A class or library longer than this is left in the file even when the
  // walk holds it: for a reader that needs only the first bytes of those.
  std::uint64_t longestHeld = UINT64_MAX;
};

// Keeps none: for a reader that wants only the counts.
inline const tBindingFilter kCountedOnly{false, tScopeChoice::both, {}, {}, UINT64_MAX};

// A map file's bindings and how far its bytes could be read. The bindings
// are the map that zembril would load from the whole records read (of two
// records for one class the later wins), those the filter keeps, in
// ascending byte order of their class in each section; a class or library
// too long to hold, or longer than the filter's longestHeld, is left in the
// file, which stays open for it.
struct tMapFileSnapshot : tMapFileRead {
  // The bindings kept: [0] of the U section, [1] of the K section.
  std::array<std::vector<tSnapshotBinding>, 2> bindings;
  // How many classes each section binds, kept or not.
  std::array<std::uint64_t, 2> counts{};
  std::string heldBytes;  // the strings held
  tRegularFile file;      // the file walked, open for the strings not held

  // Calls `piece` with the bytes of `text` a piece at a time. Returns false
  // when the file no longer holds them: it changed since it was read.
  bool forEachPiece(const tSnapshotString& text,
                    const std::function<void(std::string_view)>& piece) const;
  // The bytes of `text`, a copy of its size.
  [[nodiscard]] std::string textOf(const tSnapshotString& text) const;
  // The first `count` bytes of `text`, or all when it is shorter; those
  // read so far when the file no longer holds them.
  [[nodiscard]] std::string prefixOf(const tSnapshotString& text, std::uint64_t count) const;
  // The bytes of `text` when it is held; nothing when not.
  [[nodiscard]] std::string_view heldOf(const tSnapshotString& text) const;
  // Returns true when a string was left in the file: printing it read the
  // file again, and isStillVersionRead(file) says whether it read the same.
  [[nodiscard]] bool leftInFile() const { return anyInFile; }

  bool anyInFile = false;
};

// Reads the file at `path` as a map file holding a U and a K section, as
// zembril reads it (see readMapFile), keeping the whole records of a damaged
// one that `filter` keeps, in memory that grows with the bindings kept and
// not with the length of any one: a file of one binding of 2 GiB costs a
// few MiB. Counting the classes of a section whose records are not in
// ascending order takes a second read, which keeps every class. It is
// never locked, so it can be read while zembril holds the lock of the map
// directory: a file that a run rewrites in place meanwhile, or copies
// into, is read again until it is one version again, so the bindings never
// mix two versions; without `waitForCopy`, for a caller who knows that no
// run holds the lock, a copy that did not finish is reported at once. With
// `checkHead` false the magic and version are not checked (see
// scanMapFileDescriptor). A path inside `root` is resolved there (see
// openInRoot).
[[nodiscard]] tMapFileSnapshot readMapFileSnapshot(const std::string& path, bool checkHead = true,
                                                   bool waitForCopy = true,
                                                   const std::string& root = std::string(),
                                                   const tBindingFilter& filter = {});

// Returns what kind of file `mode` describes, as a phrase for a message:
// "a directory", "a FIFO", "a character device", "a block device", "a
// socket", "a symbolic link" or "a regular file".
std::string fileKindOf(mode_t mode);

// How a message names what a snapshot holds: "3 U and 0 K bindings".
[[nodiscard]] std::string countsOf(const tMapFileSnapshot& snapshot);

// Where and how the bytes of a damaged snapshot stop making sense: "wrong
// magic: not a map file at offset 0".
[[nodiscard]] std::string damageOf(const tMapFileSnapshot& snapshot);

// What keeps a snapshot that is neither absent, whole nor damaged from
// showing bindings: "cannot be opened (Permission denied)", "not a regular
// file (a FIFO)", "changed while it was read, on each of 5 reads", "a copy
// into it began and did not finish", "cannot be read (Input/output error)".
[[nodiscard]] std::string troubleOf(const tMapFileSnapshot& snapshot);

}  // namespace nDRAVI100
