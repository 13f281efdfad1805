// One run of the tool, from the argument vector to the exit status.
#pragma once

#include <string>
#include <vector>

#include "status/tStatus.h"

namespace nDRAVI100 {

// Runs the tool once: parses the command line, builds the store (which
// loads the map file), carries out the command, saves, prints the report
// lines to standard output and returns the exit status: 0, 1 for a warning
// or -1 for an error (255 to the calling process).
int runProgram(int argc, const char* const* argv);

// Returns the report lines for the final word `status` of a run started with
// `arguments` (program name first): nothing for 0, one warning line, or a
// failure line and a status line for an error. The failure line of a
// command file quotes its path with control characters escaped (see
// escapeControls).
std::string formatReport(tStatus status, const std::vector<std::string>& arguments);

}  // namespace nDRAVI100
