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

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "classMap/tCommandRequest.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// A command file that cannot be read, or holds a line with a NUL byte,
// fails the run: raises nCode::kCommandFileRead and prints "zembril: File
// read error!".
void reportReadError(tStatus& status);

// Returns the next line of `file` that is not a comment, its newline
// included when it has one, of any length. Sets
// `endOfFile` to 1 once the file's end has been reached. A read error, or a
// line (comments included) that holds a NUL byte, raises -1 as
// reportReadError does and returns an empty string. The string returned is
// one buffer that the next call overwrites. This and readStrippedLine read
// a line at a time through stdio: the plain reading that zembril's own
// reader (tCommandFileReader) must agree with.
const std::string& readFileLine(std::FILE* file, std::int32_t& endOfFile, tStatus& status);

// Reads the next line as readFileLine does and returns it as
// removeWhitespace would, stripped where it was read: no copy of the line
// is made. The view shows a buffer that the next call of either reader
// overwrites.
std::string_view readStrippedLine(std::FILE* file, std::int32_t& endOfFile, tStatus& status);

// A command-file line as splitLine splits it.
struct tSplitLine {
  // The line where it stands in the reader's piece: as it was read, or
  // already without its blanks when the split had to take some out.
  std::span<char> raw;
  // Its fields, as splitFileLineFields splits the line without its blanks;
  // none when it has more than four.
  std::array<std::string_view, 4> fields;
  std::size_t fieldCount = 0;

  // True when the line holds nothing but blanks: a line to skip.
  [[nodiscard]] bool empty() const { return fieldCount == 1 && fields[0].empty(); }
};

// Splits the line `raw`, which is not a comment, as removeWhitespace and
// splitFileLineFields would, in one pass over its bytes, without copying
// it: a bulk file spent more time finding its blanks, NULs and commas one
// scan after another, and then moving its bytes, than carrying out its
// adds. A line whose blanks all stand at the edges of its fields (about
// its commas, at its start and end), as nearly every line does, is left as
// it was read and its fields view their bytes between the blanks; any other
// is stripped of its blanks where it stands. A NUL in `raw` fails as
// reportReadError does and leaves `line` without fields; so does an error
// on entry.
void splitLine(std::span<char> raw, tSplitLine& line, tStatus& status);

// Splits the line at the start of `rest`, what is read of a file from there
// on, as splitLine splits it, and returns its size, its newline included;
// returns 0, with `line` empty, when `rest` holds no newline.
std::size_t splitFirstLine(std::span<char> rest, tSplitLine& line, tStatus& status);

// Returns `line` without its blanks, as removeWhitespace would, made where
// the line stands: for a line that is carried out from the whole of it.
// The line's fields no longer hold afterwards.
std::string_view strippedLine(tSplitLine& line);

// Returns true and stores the scope when `line` is "<scope>,add,<class>,<library>",
// as parseFileLine would read it: the class is fields[2] and the library
// fields[3]. Copies nothing.
bool isFileAdd(const tSplitLine& line, tMapScope& scope);

// Returns `line` up to its first NUL, without spaces, tabs, CRs and LFs. The
// string returned is one buffer that the next call overwrites.
const std::string& removeWhitespace(std::string_view line, tStatus& status);

// Splits a line without blanks into its fields at the commas that stand
// outside "<" ">" brackets, as views of `line`. Returns false when the line
// has more than four fields (a fourth such comma rejects it at once).
bool splitFileLineFields(std::string_view line, std::vector<std::string_view>& fields);

// Parses a line without blanks. Returns the one line request, updated for
// this line, or, with nCode::kUsage raised in the word, the rejection request of
// kind None. Both live until the program ends; the line request keeps the
// strings of earlier lines that this line's command does not use.
const tCommandRequest& parseFileLine(std::string_view line, tStatus& status);

// Returns true when zembril reads the command-file line
// "<scopeLetter>,add,<className>,<libraryPath>" back as exactly this
// binding in the map of `scopeLetter` ('U' or 'K'), whatever the run's
// bitness: as the readers, removeWhitespace and parseFileLine make of it, so
// a NUL, a blank or a newline, a comma outside "<...>" or an unbalanced "<"
// in a name, or a "*" in the library path (which a run replaces by 32 or
// 64), all make a binding that a command file cannot carry. Copies neither
// string.
[[nodiscard]] bool fileLineCarries(char scopeLetter, std::string_view className,
                                   std::string_view libraryPath);

// Judges a class name or a library path that arrives in pieces, as
// fileLineCarries judges it whole: for a name too long to hold at once.
class tCarriedName {
 public:
  explicit tCarriedName(bool className) : isClassName(className) {}
  void take(std::string_view piece);
  // Whether a command-file line carries the name of all the pieces taken.
  [[nodiscard]] bool carried() const { return carries && (!isClassName || depth == 0); }

 private:
  bool isClassName;
  bool carries = true;
  int depth = 0;  // how many "<" are open at the end of the pieces taken
};

// Returns the command-file line, without its newline, that binds
// `className` to `libraryPath` in the map of `scopeLetter`:
// "U,add,<class>,<library>"; nothing when fileLineCarries says no.
[[nodiscard]] std::optional<std::string> addLineFor(char scopeLetter, std::string_view className,
                                                    std::string_view libraryPath);

// Returns the command-file line, without its newline, that unbinds
// `className` from the map of `scopeLetter`: "U,delete,<class>"; nothing
// when a command file cannot carry the class, as fileLineCarries judges a
// class name.
[[nodiscard]] std::optional<std::string> deleteLineFor(char scopeLetter,
                                                       std::string_view className);

}  // namespace nDRAVI100
