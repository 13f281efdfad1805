// The command lines of zembril-dump and zembril-sync: GNU-style long
// options, set up one way, with --root, --help and --version alike.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace nDRAVI100 {

// One long option of a program: its name, whether it takes a value, and the
// code it is reported with (above 255, so that no short option is taken for
// it, and below kRootOption).
struct tLongOption {
  const char* name;
  bool takesValue;
  int code;
};

// The options every companion program has, added to its own.
enum tCommonOption : int {
  kRootOption = 1000,  // --root=DIR: the system image in DIR
  kHelpOption,         // --help
  kVersionOption,      // --version
};

// What --help or --version asks for: the first of them on a line answers,
// whatever else the line says, as in GNU tools.
enum class tAnswer {
  none,
  help,
  version,
};

// What one argument of the command line was.
struct tArgument {
  enum class tKind {
    option,         // `code` and, when it takes one, `value`
    operand,        // `value`; every argument after "--" is one
    missingValue,   // an option that takes a value came last without one
    valueNotTaken,  // "--help=x": a value for an option that takes none
    ambiguous,      // a prefix of more than one option
    unknown,        // no such option
  };
  tKind kind = tKind::operand;
  int code = 0;
  std::string value;
  std::string name;   // the option as written, without "=VALUE"
  std::string typed;  // the whole argument as written
};

// Reads `arguments` (the program name first, which is skipped) with
// getopt_long against `own` and the common options, and hands each argument
// but --help and --version to `take`, in order. Returns the answer that the
// first --help or --version asks for: a caller that gets one answers it
// and makes nothing of the rest of the line, not even of its mistakes.
// Options may come in any order, before or after operands, and may be
// shortened to any unique prefix; "--" ends them; a value may be given as
// "--format=json" or as the next argument. Nothing is printed: every
// message is the caller's.
[[nodiscard]] tAnswer readLongOptions(const std::vector<std::string>& arguments,
                                      std::span<const tLongOption> own,
                                      const std::function<void(const tArgument&)>& take);

// Returns the one-line message for an argument that is neither an option
// nor an operand ("option '--format' needs a value", "unknown option
// '--x'"), or an empty string for those two.
[[nodiscard]] std::string misuseOf(const tArgument& argument);

// Returns why `root` cannot be the root of a system image, for zembril's
// /root and the companions' --root alike: "not an absolute path" before
// anything is looked at, or what looking found ("No such file or
// directory", "Not a directory"); an empty string when it is an existing
// directory.
[[nodiscard]] std::string rootProblem(const std::string& root);

// The usage error of a companion program's --root=`root` when rootProblem
// finds it not absolute ("--root needs an absolute directory, not 'ROOT'"),
// before anything is looked at; an empty string otherwise.
[[nodiscard]] std::string rootMisuse(const std::string& root);

}  // namespace nDRAVI100
