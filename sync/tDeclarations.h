// The class bindings that installed packages declare, one file a package.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "classMap/tClassMapStore.h"
#include "cli/tFailure.h"
#include "os/tRegularFile.h"

namespace nDRAVI100 {

// One binding that a package declares.
struct tDeclaration {
  bool x64 = false;       // the 64-bit map file, else the 32-bit one
  tMapScope scope = 0;    // 0 for U, 1 for K
  std::string className;  // any bytes but blanks, control bytes and a byte order mark
  std::string library;    // an absolute path; a "*" in it is not yet replaced
  std::string package;    // the declarer: the name of its file, "PACKAGE" or "PACKAGE:ARCH"
};

// A declaration file that could not be read or parsed: its declarer's
// bindings are held as they are until it can.
struct tHeldDeclaration {
  std::string package;  // the declarer, as in tDeclaration
  tFailure why;         // "PATH: what is wrong" or "PATH:LINE: what is wrong"
};

// What the declaration directory holds.
struct tDeclared {
  std::vector<tDeclaration> bindings;  // in the byte order of the file names, each file's in order
  std::vector<tHeldDeclaration> held;
  // Each file that is passed over and is no package manager's copy, in the
  // byte order of the names: "PATH: passed over: no package can have this
  // name", "PATH: passed over: a copy that patch or an editor keeps aside".
  std::vector<tFailure> passedOver;
};

// Returns `bytes` in double quotes, with each control byte, DEL, byte
// order mark and backslash written as an escape ("\x0d", "\xef\xbb\xbf",
// "\\"), so that a message shows what a field really holds.
std::string quoteBytes(std::string_view bytes);

// Parses the declaration file of `package`: one binding a line, four fields
// separated by blanks (the map, 32 or 64; the scope, U or K; the class; the
// library, which starts with '/'). A "#" in the first column starts a
// comment; empty and blank lines are ignored. A class or library may not
// hold a control byte (a CR, a NUL, any other) or a byte order mark: no
// library path has one, and what a message quotes would hide it. Returns
// the bindings in the order of the file. Fails at a line that does not fit,
// or a class declared twice in one map: "LINE: what is wrong".
[[nodiscard]] tResult<std::vector<tDeclaration>> parseDeclarations(std::string_view text,
                                                                   const std::string& package);

// What a file of a given name in the declaration directory is.
enum class tDeclarationName {
  // A package name that dpkg, rpm or pacman allows (letters of either case,
  // digits, "@", ".", "_", "+" and "-", the first neither "." nor "-"),
  // optionally followed by ":" and an architecture of the same letters: the
  // file of one instance of a package that is installed once per
  // architecture ("libw1:amd64", "libmulti:i686").
  declaration,
  // The copy that dpkg, ucf, rpm or pacman keeps aside ("libw1.dpkg-old",
  // "libw1.rpmnew", "libw1.pacsave"): theirs to clean up, passed over in
  // silence.
  leftover,
  // The copy that patch or an editor keeps aside ("libw1.orig", "libw1~"):
  // passed over, and worth a word, since only a person leaves one.
  keptAside,
  // A name that no package can have: passed over, and worth a word, since
  // whoever put it there meant it to be read.
  foreign,
};
[[nodiscard]] tDeclarationName classifyDeclarationName(std::string_view name);

// Reads every declaration file in `directory`, resolved inside `root`
// (empty: the running system; see openInRoot), in the byte order of the
// file names: their bindings, each file that cannot be read or does not
// parse as held, and each file whose name is kept aside or foreign (see
// tDeclarationName) as passed over. A missing directory holds none. Fails ("PATH: what is
// wrong") only when the directory cannot be read: a sync must not take
// declarations it cannot see for declarations that were withdrawn.
[[nodiscard]] tResult<tDeclared> readDeclarations(const std::string& directory,
                                                  const std::string& root);

// What `file`, opened at `path`, holds, read whole; or why it cannot be
// read: "PATH: not a regular file", or "PATH: " and the system's words for
// why it could not be opened or read.
[[nodiscard]] tResult<std::string> readWholeFile(const tRegularFile& file, const std::string& path);

}  // namespace nDRAVI100
