// The grammar of command files: many commands, one per line. zembril
// carries them out (tool/tCommandFile), zembril-dump writes them
// (--format=commands, through addLineFor) and the Ansible collection checks
// what a line can carry against the same table of lines and verdicts.
//
// A line is comma-separated fields after every blank (space, tab, CR, LF)
// has been removed: a scope letter (U, K, S in either case), a command word
// without the slash ("add", "delete", "deletelib", "lookup", "lookuplib",
// "list", "reset") and its arguments. A comma inside "<" ">" brackets does
// not split, so a class name with template arguments stays one field. A
// line that begins with "#" is a comment; blank lines are skipped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "classMap/tCommandRequest.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// Returns the next line of `file` that is not a comment, its newline
// included when it has one, of any length. Sets
// `endOfFile` to 1 once the file's end has been reached. A read error, or a
// line (comments included) that holds a NUL byte, raises -1, prints
// "zembril: File read error!" and returns an empty string. The string
// returned is one buffer that the next call overwrites.
const std::string& readFileLine(std::FILE* file, std::int32_t& endOfFile, tStatus& status);

// Returns `line` up to its first NUL, without spaces, tabs, CRs and LFs. The
// string returned is one buffer that the next call overwrites.
const std::string& removeWhitespace(const std::string& line, tStatus& status);

// Splits a line without blanks into its fields at the commas that stand
// outside "<" ">" brackets. Returns false when the line has more than four
// fields (a fourth such comma rejects it at once).
bool splitFileLineFields(const std::string& line, std::vector<std::string>& fields);

// Parses a line without blanks. Returns the one line request, updated for
// this line, or, with nCode::kUsage raised in the word, the rejection request of
// kind None. Both live until the program ends; the line request keeps the
// strings of earlier lines that this line's command does not use.
const tCommandRequest& parseFileLine(const std::string& line, tStatus& status);

// Returns the command-file line, without its newline, that binds
// `className` to `libraryPath` in the map of `scopeLetter` ('U' or 'K'):
// "U,add,<class>,<library>". Returns nothing when zembril would not read
// that line back as exactly this binding, whatever the run's bitness: the
// line is read, stripped and parsed by zembril's own command-file code, so
// a blank, a newline, a comma outside "<...>" or an unbalanced "<" in a
// name, or a "*" in the library path (which a run replaces by 32 or 64),
// all make a binding that a command file cannot carry.
[[nodiscard]] std::optional<std::string> addLineFor(char scopeLetter, const std::string& className,
                                                    const std::string& libraryPath);

}  // namespace nDRAVI100
