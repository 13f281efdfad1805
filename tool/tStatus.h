// The status word that every operation of a run shares.
//
// One signed 32-bit word carries the outcome of a whole run: 0 is success, a
// negative value is an error (its code with a minus sign) and a positive value
// is a warning. Operations take the word by reference as their last argument
// and follow three rules: they do nothing when it already holds an error, an
// error replaces anything but an earlier error, and a warning is stored only
// into a word that is still 0. The helpers below are the only places that
// apply those rules, so that every caller merges codes the same way.
#pragma once

#include <cstdint>

namespace nDRAVI100 {

using tStatus = std::int32_t;

// Returns true when the word holds an error, that is, when it is negative.
constexpr bool isError(tStatus status) { return status < 0; }

// Returns true when the word holds a warning, that is, when it is positive.
constexpr bool isWarning(tStatus status) { return status > 0; }

// Stores the error with the positive code `code` as -code, unless the word
// already holds an error; the first error of a run is the one that survives.
void raiseError(tStatus& status, std::int32_t code);

// Stores the warning `code` only when the word is 0, so that a warning never
// replaces an earlier warning or any error.
void raiseWarning(tStatus& status, std::int32_t code);

// Returns the process exit status for a final word: 0 for 0, 1 for a warning
// and -1 (seen by the caller as 255) for an error.
int exitStatusFor(tStatus status);

}  // namespace nDRAVI100
