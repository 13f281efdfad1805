#include "cli/tLongOptions.h"

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace nDRAVI100 {

namespace {

constexpr tLongOption kCommon[] = {
    {"root", true, kRootOption}, {"help", false, kHelpOption}, {"version", false, kVersionOption}};

// A root is taken from "/" or not at all: a relative one would change with
// the working directory of each run.
bool isAbsolute(const std::string& root) { return root.starts_with('/'); }

}  // namespace

tAnswer readLongOptions(const std::vector<std::string>& arguments, std::span<const tLongOption> own,
                        const std::function<void(const tArgument&)>& take) {
  std::vector<option> table;
  for (const auto& options : {own, std::span<const tLongOption>(kCommon)}) {
    for (const tLongOption& entry : options) {
      table.push_back(
          {entry.name, entry.takesValue ? required_argument : no_argument, nullptr, entry.code});
    }
  }
  table.push_back({nullptr, 0, nullptr, 0});
  const auto isAmbiguous = [&](const std::string& name) {
    if (!name.starts_with("--")) return false;
    const std::string_view prefix = std::string_view(name).substr(2);
    return std::count_if(table.begin(), table.end(), [&](const option& entry) {
             return entry.name != nullptr && std::string_view(entry.name).starts_with(prefix);
           }) > 1;
  };

  // getopt_long wants a program name first and writable strings.
  std::vector<std::string> words{"zembril"};
  if (!arguments.empty()) words.insert(words.end(), arguments.begin() + 1, arguments.end());
  tAnswer answer = tAnswer::none;
  const auto hand = [&](const tArgument& argument) {
    const bool asks = argument.kind == tArgument::tKind::option &&
                      (argument.code == kHelpOption || argument.code == kVersionOption);
    if (!asks) return take(argument);
    if (answer == tAnswer::none) {
      answer = argument.code == kHelpOption ? tAnswer::help : tAnswer::version;
    }
  };
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  // optind 0 starts getopt afresh. "-" hands operands back in their place,
  // so that POSIXLY_CORRECT cannot end the options at the first operand;
  // ":" reports a missing value apart from an unknown option; opterr 0
  // leaves every message to the caller.
  optind = 0;
  opterr = 0;
  for (;;) {
    const auto at = static_cast<std::size_t>(std::max(optind, 1));
    tArgument argument;
    argument.typed = at < words.size() ? words[at] : "";
    argument.name = argument.typed.substr(0, argument.typed.find('='));
    const int code = getopt_long(argc, argv.data(), "-:", table.data(), nullptr);
    if (code == -1) break;
    argument.value = optarg != nullptr ? optarg : "";
    using enum tArgument::tKind;
    switch (code) {
      case 1:
        argument.kind = operand;
        break;
      case ':':
        argument.kind = missingValue;
        break;
      case '?':
        argument.kind = optopt > 255                                ? valueNotTaken
                        : optopt == 0 && isAmbiguous(argument.name) ? tArgument::tKind::ambiguous
                                                                    : unknown;
        break;
      default:
        argument.kind = option;
        argument.code = code;
    }
    hand(argument);
  }
  // What follows "--" is all operands.
  for (auto index = static_cast<std::size_t>(optind); index < words.size(); ++index) {
    tArgument argument;
    argument.value = argument.typed = words[index];
    hand(argument);
  }
  return answer;
}

std::string misuseOf(const tArgument& argument) {
  switch (argument.kind) {
    using enum tArgument::tKind;
    case missingValue:
      return "option '" + argument.name + "' needs a value";
    case valueNotTaken:
      return "option '" + argument.name + "' takes no value";
    case ambiguous:
      return "option '" + argument.name + "' is ambiguous";
    case unknown:
      return "unknown option '" + argument.typed + "'";
    case option:
    case operand:
      break;
  }
  return std::string();
}

std::string rootProblem(const std::string& root) {
  if (!isAbsolute(root)) return "not an absolute path";
  // stat, not std::filesystem: that one call linked all of libstdc++'s
  // locales into each program, and every run of the tool paid to map them.
  struct stat status {};
  if (::stat(root.c_str(), &status) != 0) return std::strerror(errno);
  return S_ISDIR(status.st_mode) ? std::string() : std::strerror(ENOTDIR);
}

std::string rootMisuse(const std::string& root) {
  return isAbsolute(root) ? std::string()
                          : "--root needs an absolute directory, not '" + root + "'";
}

}  // namespace nDRAVI100
