// The status word that every operation of a run shares.
//
// One signed 32-bit word carries the outcome of a whole run: 0 is success, a
// negative value is an error (its code with a minus sign) and a positive value
// is a warning. Operations take the word by reference as their last argument
// and follow three rules: they do nothing when it already holds an error, an
// error replaces anything but an earlier error, and a warning is stored only
// into a word that is still 0. A word starts at 0 and may be copied whole;
// every other change goes through the helpers below, so that every caller
// merges codes the same way.
#pragma once

#include <cstdint>

namespace nDRAVI100 {

using tStatus = std::int32_t;

// Every code the tool raises, as the positive number that raiseError and
// raiseWarning take. Callers and scripts see only the numbers.
namespace nCode {
// Errors.
constexpr std::int32_t kCommandFileRead = 1;       // reading the command file failed
constexpr std::int32_t kBadDispatchScope = 50006;  // a request's scope names no map
constexpr std::int32_t kBadAddScope = 50150;       // `add` was given a scope that names no map
constexpr std::int32_t kCannotOpen = 50204;        // a file cannot be opened or created
constexpr std::int32_t kCannotClose = 50205;       // closing a file failed
constexpr std::int32_t kMapFileTooShort = 50207;   // the map file cannot be read whole
constexpr std::int32_t kCannotWrite = 50208;       // the new map file cannot be written
constexpr std::int32_t kCopyFailed = 50209;        // copying the new map file into place failed
constexpr std::int32_t kBadVersion = 50250;        // the map file's version is not 1
constexpr std::int32_t kBadMagic = 50257;          // the map file does not start with its magic
constexpr std::int32_t kUsage = 88361;             // a command line or line does not parse
// Warnings.
constexpr std::int32_t kTemporaryFileLeft = 50209;  // the copied temporary file cannot be removed
constexpr std::int32_t kAlreadyBound = 88360;       // the class is bound already
}  // namespace nCode

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

// Sets the word back to 0, whatever it holds: for a caller that starts a
// part of the run whose outcome no longer depends on what came before. It
// is the one way past the rules above, and so is spelled out where used.
void clearStatus(tStatus& status);

// Returns the process exit status for a final word: 0 for 0, 1 for a warning
// and -1 (seen by the caller as 255) for an error.
int exitStatusFor(tStatus status);

}  // namespace nDRAVI100
