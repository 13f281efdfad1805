// Descriptors 0 to 2, kept from ever being one of the tool's files.
#pragma once

namespace nDRAVI100 {

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed. A
// program started with one of them closed (a careless script's "<&-", a
// daemon) would otherwise get it back from its first open: the lock file or
// a map file as standard output, where a report line or a library's message
// lands in the class map. Call it first thing in main. Returns false when
// one stays closed; the caller then ends at once, before it opens anything.
[[nodiscard]] bool keepStandardDescriptorsOpen();

}  // namespace nDRAVI100
