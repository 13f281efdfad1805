#include "tool/tCommandLine.h"

#include <cstddef>
#include <string_view>

#include "cli/tLongOptions.h"
#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

namespace {

// The fewest and most strings a command line may have, program name included
// and a leading "/x64" counted.
constexpr std::size_t kFewestArguments = 3;
constexpr std::size_t kMostArguments = 6;

}  // namespace

bool is64BitBuild(tStatus&) { return sizeof(void*) == 8; }

void takeRootSwitch(std::vector<std::string>& arguments, std::string& root, tStatus& status) {
  if (isError(status) || arguments.size() < 2 || arguments[1] != "/root") return;
  // A mistyped root would read as an empty map and fail only at the save,
  // with the code of a read-only directory; a root names an image that exists.
  if (arguments.size() < 3 || !rootProblem(arguments[2]).empty()) {
    raiseError(status, nCode::kUsage);
    return;
  }
  root = tMapPaths(arguments[2]).root();
  arguments.erase(arguments.begin() + 1, arguments.begin() + 3);
}

void parseCommandLine(tCommandRequest& request, const std::vector<std::string>& arguments,
                      tStatus& status) {
  request.clear();
  if (isError(status)) return;

  auto usageError = [&]() {
    request.setKind(tCommandKind::None, status);
    raiseError(status, nCode::kUsage);
  };

  std::vector<std::string> args = arguments;
  if (args.size() < kFewestArguments || args.size() > kMostArguments) return usageError();

  if (args[1] == "/x64") {
    if (!is64BitBuild(status)) return usageError();
    request.setX64(1, status);
    args.erase(args.begin() + 1);
  }
  const std::size_t n = args.size();

  if (args[1] == "/file") {
    // "/x64" "/file" with nothing after it leaves no path to take.
    if (n < 3) return usageError();
    request.setKind(tCommandKind::File, status);
    request.setFilePath(args[2], status);
    return;
  }

  tMapScope scope = 0;
  if (!parseScopeName(args[1], "/", scope)) return usageError();
  request.setScope(scope, status);

  // "/add" ignores a sixth string; every other word takes its arguments
  // exactly.
  if (n < 3) return usageError();
  std::vector<std::string_view> rest(
      args.begin() + 3, args.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(n, 5)));
  if (!setCommandWord(request, args[2], "/", rest, status)) usageError();
}

}  // namespace nDRAVI100
