// One run of zembril-sync, from the argument vector to the exit status.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace nDRAVI100 {

// The exit statuses of zembril-sync.
constexpr int kSyncDone = 0;    // every map file matches the declarations that can be read
constexpr int kSyncFailed = 1;  // a map file or its record could not be read or written
constexpr int kSyncUsage = 2;   // a usage error

// Brings both map files in line with the declarations that installed
// packages ship (see tDeclarations.h), writing notices and errors to `err`
// and --help and --version to `out`, and returns the exit status. Each map
// file is worked on under its lock and changed in one save; what the
// declarations bound is recorded beside it so that the next run knows which
// bindings are theirs. The record is widened before the map changes and
// narrowed after, so that a run that stops anywhere leaves a map and a
// record from which the next run finishes the work. A declaration file that
// cannot be read or parsed is reported and holds its package's bindings as
// they are; it fails no run, so that one bad file stalls no other package.
int runSync(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err);

}  // namespace nDRAVI100
