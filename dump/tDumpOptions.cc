#include "dump/tDumpOptions.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "classMap/tMapScope.h"

namespace nDRAVI100 {

namespace {

struct tNamedForm {
  std::string_view name;
  tOutputForm form;
};
constexpr std::array<tNamedForm, 3> kForms = {{{"text", tOutputForm::text},
                                               {"json", tOutputForm::json},
                                               {"commands", tOutputForm::commands}}};

// getopt_long's codes for the long options; above every character, so that
// none can be taken for a short option.
enum tOptionCode : int {
  kX64 = 256,
  kCheck,
  kSalvage,
  kExplain,
  kFormat,
  kScope,
  kRoot,
  kHelp,
  kVersion,
};

constexpr std::array<option, 10> kLongOptions = {{{"x64", no_argument, nullptr, kX64},
                                                  {"check", no_argument, nullptr, kCheck},
                                                  {"salvage", no_argument, nullptr, kSalvage},
                                                  {"explain", required_argument, nullptr, kExplain},
                                                  {"format", required_argument, nullptr, kFormat},
                                                  {"scope", required_argument, nullptr, kScope},
                                                  {"root", required_argument, nullptr, kRoot},
                                                  {"help", no_argument, nullptr, kHelp},
                                                  {"version", no_argument, nullptr, kVersion},
                                                  {nullptr, 0, nullptr, 0}}};

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

// Keeps what each option says and the first mistake; the checks that need
// the whole command line come after the last option.
class tOptionParser {
 public:
  tParsedOptions parse(const std::vector<std::string>& arguments) {
    // getopt_long wants a program name first and writable strings.
    std::vector<std::string> words{"zembril-dump"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    // optind 0 starts getopt afresh. "-" hands operands back in their place,
    // so that POSIXLY_CORRECT cannot end the options at the first file; ":"
    // reports a missing value apart from an unknown option; opterr 0 leaves
    // every message to us.
    optind = 0;
    opterr = 0;
    for (;;) {
      const std::size_t at = static_cast<std::size_t>(std::max(optind, 1));
      const std::string current = at < words.size() ? words[at] : "";
      const int code = getopt_long(argc, argv.data(), "-:", kLongOptions.data(), nullptr);
      if (code == -1) break;
      takeOption(code, current);
    }
    // What follows "--" is all operands.
    for (auto index = static_cast<std::size_t>(optind); index < words.size(); ++index) {
      operands.push_back(words[index]);
    }

    // --help and --version answer whatever else the line says, as in GNU tools.
    if (firstAnswer) {
      parsed.options.mode = *firstAnswer;
      return std::move(parsed);
    }
    if (error.empty()) checkCombination();
    parsed.usageError = error;
    return std::move(parsed);
  }

 private:
  void fail(std::string message) {
    if (error.empty()) error = std::move(message);
  }

  void chooseMode(tDumpMode mode) {
    tDumpMode& current = parsed.options.mode;
    if (current != tDumpMode::show && current != mode) {
      fail(std::string(modeOption(current)) + " and " + modeOption(mode) + " cannot be combined");
    }
    current = mode;
  }

  // `current` is the argument that held the option, as the user wrote it.
  void takeOption(int code, const std::string& current) {
    tDumpOptions& options = parsed.options;
    const std::string value = optarg != nullptr ? optarg : "";
    const std::string name = current.substr(0, current.find('='));
    switch (code) {
      case 1:
        operands.push_back(value);
        break;
      case ':':
        fail("option '" + name + "' needs a value");
        break;
      case '?':
        if (optopt >= kX64) {
          fail("option '" + name + "' takes no value");
        } else if (optopt == 0 && isAmbiguous(name)) {
          fail("option '" + name + "' is ambiguous");
        } else {
          fail("unknown option '" + current + "'");
        }
        break;
      case kHelp:
        if (!firstAnswer) firstAnswer = tDumpMode::help;
        break;
      case kVersion:
        if (!firstAnswer) firstAnswer = tDumpMode::version;
        break;
      case kX64:
        options.x64 = true;
        break;
      case kCheck:
        chooseMode(tDumpMode::check);
        break;
      case kSalvage:
        chooseMode(tDumpMode::salvage);
        break;
      case kExplain:
        chooseMode(tDumpMode::explain);
        options.code = value;
        break;
      case kRoot:
        options.root = value;
        break;
      case kFormat: {
        formatGiven = true;
        const auto* found = std::find_if(kForms.begin(), kForms.end(), [&](const tNamedForm& form) {
          return form.name == value;
        });
        if (found == kForms.end()) {
          return fail("unknown format '" + value + "' (text, json or commands)");
        }
        options.form = found->form;
        break;
      }
      case kScope:
        scopeGiven = true;
        // The S map lives for one run: no file holds it.
        if (const std::optional<tMapScope> named = scopeOfLetter(value); named == 0) {
          options.scope = tScopeChoice::uOnly;
        } else if (named == 1) {
          options.scope = tScopeChoice::kOnly;
        } else {
          fail("unknown scope '" + value + "' (U or K)");
        }
        break;
      default:
        fail("unknown option '" + current + "'");
    }
  }

  // getopt_long takes any unique abbreviation of a long option and refuses
  // one that several options begin with.
  static bool isAmbiguous(const std::string& typed) {
    if (!typed.starts_with("--")) return false;
    const std::string_view name = std::string_view(typed).substr(2);
    return std::count_if(kLongOptions.begin(), kLongOptions.end(), [&](const option& entry) {
             return entry.name != nullptr && std::string_view(entry.name).starts_with(name);
           }) > 1;
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

  std::vector<std::string> operands;
  std::optional<tDumpMode> firstAnswer;  // --help or --version, whichever came first
  bool formatGiven = false;
  bool scopeGiven = false;
  std::string error;
  tParsedOptions parsed;
};

}  // namespace

tParsedOptions parseDumpArguments(const std::vector<std::string>& arguments) {
  return tOptionParser().parse(arguments);
}

std::string usageLine() {
  return "Usage: zembril-dump [--root=DIR] [--x64] [--scope=U|K] [--format=FORM] "
         "[MAPFILE | --salvage FILE | --check | --explain CODE]\n";
}

std::string helpText() {
  return "Usage: zembril-dump [--root=DIR] [--x64] [--scope=U|K] [--format=text|json|commands]\n"
         "                    [MAPFILE]\n"
         "  or:  zembril-dump --salvage [--scope=U|K] [--format=text|json|commands] FILE\n"
         "  or:  zembril-dump --check [--root=DIR] [--x64]\n"
         "  or:  zembril-dump --explain CODE\n"
         "Show, check and salvage zembril's class map, and explain its status codes.\n"
         "zembril-dump only ever reads: it never changes, creates, removes or locks a file.\n"
         "\n"
         "Without a mode, prints the bindings of the map file that zembril uses\n"
         "(dravimap, or dravimap64 with --x64), or of MAPFILE.\n"
         "\n"
         "      --root=DIR       the class map of the system image in DIR, as\n"
         "                       'zembril /root DIR' sees it\n"
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
