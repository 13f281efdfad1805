// One run of zembril-sync, from the argument vector to the exit status.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace nDRAVI100 {

// The exit statuses of zembril-sync.
constexpr int kSyncDone = 0;    // every map file matches the declarations
constexpr int kSyncFailed = 1;  // a map file could not be brought in line
constexpr int kSyncUsage = 2;   // a usage error

// Brings both map files in line with the declarations that installed
// packages ship (see tDeclarations.h), writing notices and errors to `err`
// and --help and --version to `out`, and returns the exit status. Each map
// file is worked on under its lock and changed in one save; what the
// declarations bound is recorded beside it so that the next run knows which
// bindings are theirs. The record is widened before the map changes and
// narrowed after, so that a run that stops anywhere leaves a map and a
// record from which the next run finishes the work.
int runSync(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err);

}  // namespace nDRAVI100
