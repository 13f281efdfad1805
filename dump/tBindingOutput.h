// The three forms in which zembril-dump prints the bindings of a map file.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "dump/tDumpOptions.h"
#include "dump/tMapFileSnapshot.h"

namespace nDRAVI100 {

// What writeBindings did.
struct tWrittenBindings {
  bool allCarried = true;  // no binding was left out
  bool readWhole = true;   // every string left in the file was read from it
};

// Writes `bindings` (those of the U map first, then of the K map, each in
// ascending byte order of its class names; of the one map that
// options.scope picks), whose strings `snapshot` holds or left in its file,
// read from the file at `path`, to `out` in options.form, a string left in
// the file read and written a piece at a time:
// - text: one line "U<TAB>class<TAB>library" per binding, U before K, each
//   field escaped by escapeForText; nothing at all for empty maps;
// - json: {"file": path, "U": [{"class": ..., "library": ...}, ...], "K": [...]}
//   with every string escaped by escapeForJson;
// - commands: two comment lines, "U,reset" and "K,reset", then one "add" line
//   per binding, a command file that makes the maps of whichever machine
//   replays it with "zembril [/x64] /file" (/x64 when options.x64) equal to
//   these in one run.
// With options.missing, the commands form is instead two comment lines and,
// for each binding, a comment with its library and a "delete" line: a
// command file that unbinds exactly these bindings and changes nothing else.
// A binding that a command file cannot carry (see fileLineCarries) is left
// out and named on `err` as "zembril-dump: left out, a command file cannot
// carry it:" and its text line. Write errors on `out` are left for the
// caller to find with ferror.
[[nodiscard]] tWrittenBindings writeBindings(
    const tMapFileSnapshot& snapshot, const std::array<std::vector<tSnapshotBinding>, 2>& bindings,
    const std::string& path, const tDumpOptions& options, std::FILE* out, std::FILE* err);

}  // namespace nDRAVI100
