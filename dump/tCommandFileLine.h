// Writing a binding as a line of a command file.
#pragma once

#include <optional>
#include <string>

namespace nDRAVI100 {

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
