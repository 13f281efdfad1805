// The class bindings that installed packages declare, one file a package.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "classMap/tClassMapStore.h"

namespace nDRAVI100 {

// One binding that a package declares.
struct tDeclaration {
  bool x64 = false;       // the 64-bit map file, else the 32-bit one
  tMapScope scope = 0;    // 0 for U, 1 for K
  std::string className;  // any bytes but blanks
  std::string library;    // an absolute path; a "*" in it is not yet replaced
  std::string package;    // the declaring package, the name of its file
};

// Parses the declaration file of `package`: one binding a line, four fields
// separated by blanks (the map, 32 or 64; the scope, U or K; the class; the
// library, which starts with '/'). A "#" in the first column starts a
// comment; empty and blank lines are ignored. Returns the bindings in the
// order of the file. A line that does not fit, or a class declared twice
// in one map, leaves "LINE: what is wrong" in `error` and returns nothing.
[[nodiscard]] std::vector<tDeclaration> parseDeclarations(std::string_view text,
                                                          const std::string& package,
                                                          std::string& error);

// Reads every declaration file in `directory`, in the byte order of the
// file names, and appends their bindings to `declarations`. A missing
// directory holds none. Names that no package can have, and the names dpkg
// gives a file while it unpacks it, are passed over. Returns false, with
// "PATH: what is wrong" in `error`, when a file cannot be read or does not
// parse: a sync must not take a declaration it cannot read for one that
// was withdrawn.
[[nodiscard]] bool readDeclarations(const std::string& directory,
                                    std::vector<tDeclaration>& declarations, std::string& error);

}  // namespace nDRAVI100
