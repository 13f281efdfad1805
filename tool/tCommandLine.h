// The grammar of zembril's command line.
#pragma once

#include <string>
#include <vector>

#include "classMap/tCommandRequest.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// Returns true when the program is built for a 64-bit platform, which is what
// makes "/x64" acceptable. Never changes the status word.
bool is64BitBuild(tStatus& status);

// Takes a leading "/root DIR" (right after the program name) out of
// `arguments` and sets `root` to DIR, without trailing slashes (empty for
// "/"): the root of every path of this run (see tMapPaths); the rest of the
// command line is then read as if the switch had never been there. Without
// the switch nothing changes. A missing, empty or relative DIR, or one that
// is not an existing directory, is a usage error: the word gets the error
// nCode::kUsage, and `arguments` and `root` stay as they were. Does nothing
// once the word holds an error.
void takeRootSwitch(std::vector<std::string>& arguments, std::string& root, tStatus& status);

// Turns the process's argument list (the program name at index 0) into
// `request`. The request is reset first. A malformed command line leaves the
// kind at None and merges the usage error nCode::kUsage into the word;
// fields found before the error keep their values. When the word already holds an error
// the request stays in its initial state. `arguments` is not changed.
void parseCommandLine(tCommandRequest& request, const std::vector<std::string>& arguments,
                      tStatus& status);

}  // namespace nDRAVI100
