// One run of zembril-dump, from the argument vector to the exit status.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace nDRAVI100 {

// The exit statuses of zembril-dump.
constexpr int kDumpHealthy = 0;    // done, and nothing needs attention
constexpr int kDumpAttention = 1;  // done, but something needs attention
constexpr int kDumpFailed = 2;     // a usage error, or a file that cannot be read at all

// Runs zembril-dump once with `arguments` (the program name first), writing
// its output to `out` and its diagnostics to `err`, and returns the exit
// status. Reads only; never locks. A usage error prints the usage line and
// the reason on `err`; a write error on `out` is reported on `err` and
// returns kDumpFailed.
int runDump(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err);

// A stream that takes no byte: every write to it fails as one to a closed
// descriptor does (EBADF). The output of a program whose standard output
// was closed when it started, which then fails as one whose output device
// is full does, while the /dev/null in place of the closed descriptor
// keeps every file the program opens off it. Null when none can be made.
std::FILE* closedOutput();

}  // namespace nDRAVI100
