// Carrying out a command file: every line, in order, in one run. Its
// grammar is in classMap/tCommandFileGrammar.h.
#pragma once

#include <string>

#include "classMap/tClassMapStore.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// Carries out every line of the command file at `path` on `store`, in order,
// clearing a warning after each line. Stops at the first error: a malformed
// line (nCode::kUsage), a failing command or a read error
// (nCode::kCommandFileRead). A file that cannot be opened raises
// nCode::kCannotOpen. A line that holds a NUL byte counts as one that
// cannot be read.
void runCommandFile(const std::string& path, tClassMapStore& store, tStatus& status);

}  // namespace nDRAVI100
