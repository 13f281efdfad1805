// The command line of zembril-dump.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/tFailure.h"
#include "cli/tLongOptions.h"
#include "cli/tProgramVoice.h"

namespace nDRAVI100 {

// What one run of zembril-dump does.
enum class tDumpMode {
  show,     // print the map file's bindings
  check,    // diagnose the map directory and its files
  salvage,  // print the whole records of a possibly damaged file
  explain,  // explain one of zembril's status codes
};

// The form in which bindings are printed.
enum class tOutputForm {
  text,      // "U<TAB>class<TAB>library", escaped
  json,      // one JSON document
  commands,  // a command file for "zembril /file"
};

// Which of the two stored maps are printed.
enum class tScopeChoice {
  both,
  uOnly,
  kOnly,
};

// A parsed command line.
struct tDumpOptions {
  tAnswer answer = tAnswer::none;  // --help or --version, which the mode then gives way to
  tDumpMode mode = tDumpMode::show;
  tOutputForm form = tOutputForm::text;
  tScopeChoice scope = tScopeChoice::both;
  bool x64 = false;
  bool missing = false;                // --missing: only the bindings whose library is not there
  std::vector<std::string> classes;    // --class: only the bindings of these classes
  std::vector<std::string> libraries;  // --library: only the bindings to these libraries
  std::optional<std::string> file;     // MAPFILE in the show mode, FILE with --salvage
  std::string code;                    // the argument of --explain, unchecked
  std::optional<std::string> root;     // the argument of --root, unchecked
};

// Parses the arguments, the program name first, with readLongOptions:
// options may come in any order and before or after the file, and may be
// shortened to any unique prefix; "--" ends the options; a value may be
// given as "--format=json" or as the next argument. --help and --version
// win over everything else (see readLongOptions): the first of them is in
// the options' answer, and nothing else on the line is judged. Any other
// mistake (an unknown, ambiguous or misused option, an unknown value, two
// modes, an option that does not fit the mode, a missing or extra file)
// fails with a one-line description of the first. --root is not checked.
[[nodiscard]] tResult<tDumpOptions> parseDumpArguments(const std::vector<std::string>& arguments);

// How zembril-dump speaks: its name, version, --help text and the usage
// line printed with a usage error.
[[nodiscard]] const tProgramVoice& dumpVoice();

}  // namespace nDRAVI100
