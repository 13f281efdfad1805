// The command line of zembril-dump.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nDRAVI100 {

// What one run of zembril-dump does.
enum class tDumpMode {
  show,     // print the map file's bindings
  check,    // diagnose the map directory and its files
  salvage,  // print the whole records of a possibly damaged file
  explain,  // explain one of zembril's status codes
  help,
  version,
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
  tDumpMode mode = tDumpMode::show;
  tOutputForm form = tOutputForm::text;
  tScopeChoice scope = tScopeChoice::both;
  bool x64 = false;
  std::optional<std::string> file;  // MAPFILE in the show mode, FILE with --salvage
  std::string code;                 // the argument of --explain, unchecked
  std::optional<std::string> root;  // the argument of --root, unchecked
};

// The outcome of parsing: the options, or why the command line is wrong.
struct tParsedOptions {
  tDumpOptions options;
  std::string usageError;  // empty when the command line is valid
};

// Parses the arguments after the program name with getopt_long. Options
// may come in any order and before or after the file, and may be shortened
// to any unique prefix; "--" ends the options; a value may be given as
// "--format=json" or as the next argument. --help and --version win over
// everything else, as in GNU tools. Any other mistake (an unknown,
// ambiguous or misused option, an unknown value, two modes, an option that
// does not fit the mode, a missing or extra file) leaves a one-line
// description in usageError.
[[nodiscard]] tParsedOptions parseDumpArguments(const std::vector<std::string>& arguments);

// Returns the one usage line printed with a usage error, newline included.
std::string usageLine();

// Returns the --help text.
std::string helpText();

}  // namespace nDRAVI100
