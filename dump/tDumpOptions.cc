#include "dump/tDumpOptions.h"

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

// The codes of zembril-dump's own long options; --root, --help and
// --version are every companion program's.
enum tOptionCode : int {
  kX64 = 256,
  kCheck,
  kSalvage,
  kExplain,
  kFormat,
  kScope,
  kMissing,
  kClass,
  kLibrary,
};

constexpr std::array<tLongOption, 9> kOwnOptions = {{{"x64", false, kX64},
                                                     {"check", false, kCheck},
                                                     {"salvage", false, kSalvage},
                                                     {"explain", true, kExplain},
                                                     {"format", true, kFormat},
                                                     {"scope", true, kScope},
                                                     {"missing", false, kMissing},
                                                     {"class", true, kClass},
                                                     {"library", true, kLibrary}}};

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
  tResult<tDumpOptions> parse(const std::vector<std::string>& arguments) {
    options.answer = readLongOptions(arguments, kOwnOptions,
                                     [this](const tArgument& argument) { take(argument); });
    if (options.answer != tAnswer::none) return std::move(options);
    if (error.empty()) checkCombination();
    if (!error.empty()) return tFailure(error);
    return std::move(options);
  }

 private:
  void fail(std::string message) {
    if (error.empty()) error = std::move(message);
  }

  void chooseMode(tDumpMode mode) {
    tDumpMode& current = options.mode;
    if (current != tDumpMode::show && current != mode) {
      fail(std::string(modeOption(current)) + " and " + modeOption(mode) + " cannot be combined");
    }
    current = mode;
  }

  void take(const tArgument& argument) {
    const std::string& value = argument.value;
    if (argument.kind == tArgument::tKind::operand) {
      operands.push_back(value);
      return;
    }
    if (argument.kind != tArgument::tKind::option) return fail(misuseOf(argument));
    switch (argument.code) {
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
      case kMissing:
        options.missing = true;
        break;
      case kClass:
        options.classes.push_back(value);
        break;
      case kLibrary:
        options.libraries.push_back(value);
        break;
      case kRootOption:
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
        fail("unknown option '" + argument.typed + "'");
    }
  }

  void checkCombination() {
    // Only the modes that print bindings take a file, a form and a scope.
    const bool takesFile = options.mode == tDumpMode::show || options.mode == tDumpMode::salvage;
    const char* mode = modeOption(options.mode);
    // --check speaks to programs too, but writes no command file.
    const bool takesForm =
        takesFile || (options.mode == tDumpMode::check && options.form != tOutputForm::commands);
    if (!takesForm && formatGiven) {
      return fail(std::string(mode) + " takes no --format" +
                  (options.mode == tDumpMode::check ? "=commands" : ""));
    }
    if (options.missing && options.mode != tDumpMode::show) {
      return fail(std::string(mode) + " takes no --missing");
    }
    if (!takesFile && scopeGiven) return fail(std::string(mode) + " takes no --scope");
    if (!takesFile && !options.classes.empty())
      return fail(std::string(mode) + " takes no --class");
    if (!takesFile && !options.libraries.empty()) {
      return fail(std::string(mode) + " takes no --library");
    }
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
  bool formatGiven = false;
  bool scopeGiven = false;
  std::string error;
  tDumpOptions options;
};

}  // namespace

tResult<tDumpOptions> parseDumpArguments(const std::vector<std::string>& arguments) {
  return tOptionParser().parse(arguments);
}

namespace {

const char* const kUsageLine =
    "Usage: zembril-dump [--root=DIR] [--x64] [--scope=U|K] [--format=FORM] "
    "[--class=NAME]... [--library=PATH]... [--missing] "
    "[MAPFILE | --salvage FILE | --check | --explain CODE]\n";

const char* const kHelp =
    "Usage: zembril-dump [--root=DIR] [--x64] [--scope=U|K] [--format=text|json|commands]\n"
    "                    [--class=NAME]... [--library=PATH]... [--missing] [MAPFILE]\n"
    "  or:  zembril-dump --salvage [--scope=U|K] [--format=text|json|commands]\n"
    "                    [--class=NAME]... [--library=PATH]... FILE\n"
    "  or:  zembril-dump --check [--root=DIR] [--x64] [--format=text|json]\n"
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
    "                       that makes a map equal to this one (with --class\n"
    "                       or --library: that binds those classes as here)\n"
    "      --class=NAME     only the binding of the class NAME; given again, of\n"
    "                       each class named\n"
    "      --library=PATH   only the bindings to the library PATH; given again, to\n"
    "                       any library named\n"
    "      --missing        only the bindings whose library is not there (looked up\n"
    "                       in DIR with --root); the commands form unbinds them\n"
    "      --salvage        print the whole records that FILE, damaged or not, holds\n"
    "      --check          diagnose the directory file, the map directory, the map\n"
    "                       files and their leftovers, the lock, permissions and\n"
    "                       bindings to missing libraries; json: one JSON document\n"
    "      --explain CODE   say what a status code of zembril means\n"
    "      --help           print this help and exit\n"
    "      --version        print the version and exit\n"
    "\n"
    "Exit status: 0 all is well; 1 something needs attention (a damaged file,\n"
    "a binding a command file cannot carry, an unhealthy setup, a binding listed\n"
    "by --missing); 2 a usage error\n"
    "or a file that cannot be read.\n"
    "\n"
    "Full documentation: man zembril-dump\n";

}  // namespace

const tProgramVoice& dumpVoice() {
  static const tProgramVoice voice{"zembril-dump", ZEMBRIL_VERSION, kHelp, kUsageLine};
  return voice;
}

}  // namespace nDRAVI100
