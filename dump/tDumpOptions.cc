#include "dump/tDumpOptions.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace nDRAVI100 {

namespace {

struct tNamedForm {
  std::string_view name;
  tOutputForm form;
};
constexpr std::array<tNamedForm, 3> kForms = {{{"text", tOutputForm::text},
                                               {"json", tOutputForm::json},
                                               {"commands", tOutputForm::commands}}};

const char* modeOption(tDumpMode mode) {
  switch (mode) {
    case tDumpMode::check:
      return "--check";
    case tDumpMode::salvage:
      return "--salvage";
    case tDumpMode::explain:
      return "--explain";
    default:
      return "";
  }
}

// Walks the arguments once, keeping what each option says and the first
// mistake; later checks see the whole command line.
class tOptionParser {
 public:
  explicit tOptionParser(const std::vector<std::string>& args) : arguments(args) {}

  tParsedOptions parse() {
    // --help and --version answer whatever else the line says.
    for (const std::string& argument : arguments) {
      if (argument == "--") break;
      if (argument == "--help") return finish(tDumpMode::help);
      if (argument == "--version") return finish(tDumpMode::version);
    }
    bool optionsEnded = false;
    for (next = 0; next < arguments.size() && error.empty(); ++next) {
      const std::string& argument = arguments[next];
      if (optionsEnded || argument == "-" || !argument.starts_with("-")) {
        operands.push_back(argument);
      } else if (argument == "--") {
        optionsEnded = true;
      } else {
        parseOption(argument);
      }
    }
    if (error.empty()) checkCombination();
    parsed.usageError = error;
    return std::move(parsed);
  }

 private:
  tParsedOptions finish(tDumpMode mode) {
    parsed.options.mode = mode;
    return std::move(parsed);
  }

  void fail(std::string message) {
    if (error.empty()) error = std::move(message);
  }

  // Returns the value of an option given as "--name=value" or as "--name"
  // followed by the value, which may itself start with "-" (a status code).
  std::optional<std::string> valueOf(const std::string& argument, std::string_view name) {
    if (argument.size() > name.size() && argument[name.size()] == '=') {
      return argument.substr(name.size() + 1);
    }
    if (next + 1 < arguments.size()) return arguments[++next];
    fail("option '" + std::string(name) + "' needs a value");
    return std::nullopt;
  }

  static bool isOption(const std::string& argument, std::string_view name) {
    return argument.starts_with(name) &&
           (argument.size() == name.size() || argument[name.size()] == '=');
  }

  void chooseMode(tDumpMode mode) {
    tDumpMode& current = parsed.options.mode;
    if (current != tDumpMode::show && current != mode) {
      fail(std::string(modeOption(current)) + " and " + modeOption(mode) + " cannot be combined");
    }
    current = mode;
  }

  void parseOption(const std::string& argument) {
    tDumpOptions& options = parsed.options;
    if (argument == "--x64") {
      options.x64 = true;
    } else if (argument == "--check") {
      chooseMode(tDumpMode::check);
    } else if (argument == "--salvage") {
      chooseMode(tDumpMode::salvage);
    } else if (isOption(argument, "--explain")) {
      chooseMode(tDumpMode::explain);
      if (auto value = valueOf(argument, "--explain")) options.code = std::move(*value);
    } else if (isOption(argument, "--format")) {
      formatGiven = true;
      const auto value = valueOf(argument, "--format");
      if (!value) return;
      const auto* found = std::find_if(kForms.begin(), kForms.end(),
                                       [&](const tNamedForm& form) { return form.name == *value; });
      if (found == kForms.end()) {
        return fail("unknown format '" + *value + "' (text, json or commands)");
      }
      options.form = found->form;
    } else if (isOption(argument, "--scope")) {
      scopeGiven = true;
      const auto value = valueOf(argument, "--scope");
      if (!value) return;
      if (*value == "U" || *value == "u") {
        options.scope = tScopeChoice::uOnly;
      } else if (*value == "K" || *value == "k") {
        options.scope = tScopeChoice::kOnly;
      } else {
        fail("unknown scope '" + *value + "' (U or K)");
      }
    } else {
      fail("unknown option '" + argument + "'");
    }
  }

  void checkCombination() {
    tDumpOptions& options = parsed.options;
    // Only the modes that print bindings take a file, a form and a scope.
    const bool takesFile = options.mode == tDumpMode::show || options.mode == tDumpMode::salvage;
    const char* mode = modeOption(options.mode);
    if (!takesFile && formatGiven) return fail(std::string(mode) + " takes no --format");
    if (!takesFile && scopeGiven) return fail(std::string(mode) + " takes no --scope");
    if (options.mode == tDumpMode::explain && options.x64) return fail("--explain takes no --x64");
    if (!operands.empty() && !takesFile) {
      return fail(std::string(mode) + " takes no file: '" + operands.front() + "'");
    }
    if (operands.size() > 1) return fail("extra operand '" + operands[1] + "'");
    if (options.mode == tDumpMode::salvage && operands.empty())
      return fail("--salvage needs a FILE");
    if (!operands.empty()) options.file = operands.front();
  }

  const std::vector<std::string>& arguments;
  std::size_t next = 0;
  std::vector<std::string> operands;
  bool formatGiven = false;
  bool scopeGiven = false;
  std::string error;
  tParsedOptions parsed;
};

}  // namespace

tParsedOptions parseDumpArguments(const std::vector<std::string>& arguments) {
  return tOptionParser(arguments).parse();
}

std::string usageLine() {
  return "Usage: zembril-dump [--x64] [--scope=U|K] [--format=FORM] "
         "[MAPFILE | --salvage FILE | --check | --explain CODE]\n";
}

std::string helpText() {
  return "Usage: zembril-dump [--x64] [--scope=U|K] [--format=text|json|commands] [MAPFILE]\n"
         "  or:  zembril-dump --salvage [--scope=U|K] [--format=text|json|commands] FILE\n"
         "  or:  zembril-dump --check [--x64]\n"
         "  or:  zembril-dump --explain CODE\n"
         "Show, check and salvage zembril's class map, and explain its status codes.\n"
         "zembril-dump only ever reads: it never changes, creates, removes or locks a file.\n"
         "\n"
         "Without a mode, prints the bindings of the map file that zembril uses\n"
         "(dravimap, or dravimap64 with --x64), or of MAPFILE.\n"
         "\n"
         "      --x64            the 64-bit map file (dravimap64)\n"
         "      --scope=U|K      print only the U or only the K map\n"
         "      --format=FORM    text (default): U<TAB>class<TAB>library per line, escaped;\n"
         "                       json: one JSON document;\n"
         "                       commands: a command file for 'zembril [/x64] /file'\n"
         "                       that makes a map equal to this one\n"
         "      --salvage        print the whole records that FILE, damaged or not, holds\n"
         "      --check          diagnose the directory file, the map directory, the map\n"
         "                       files and their leftovers, the lock and permissions\n"
         "      --explain CODE   say what a status code of zembril means\n"
         "      --help           print this help and exit\n"
         "      --version        print the version and exit\n"
         "\n"
         "Exit status: 0 all is well; 1 something needs attention (a damaged file,\n"
         "a binding a command file cannot carry, an unhealthy setup); 2 a usage error\n"
         "or a file that cannot be read.\n"
         "\n"
         "Full documentation: man zembril-dump\n";
}

}  // namespace nDRAVI100
