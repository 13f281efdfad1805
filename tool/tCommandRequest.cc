#include "tool/tCommandRequest.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "persistentStorage/tFileSystemAdapter.h"

namespace nDRAVI100 {

namespace {

// The fewest and most strings a command line may have, program name included
// and a leading "/x64" counted.
constexpr std::size_t kFewestArguments = 3;
constexpr std::size_t kMostArguments = 6;

}  // namespace

tCommandKind tCommandRequest::getKind(tStatus&) const { return kind; }
tMapScope tCommandRequest::getScope(tStatus&) const { return scope; }
std::int32_t tCommandRequest::getX64(tStatus&) const { return x64; }
const std::string& tCommandRequest::getFilePath(tStatus&) const { return filePath; }
const std::string& tCommandRequest::getClassName(tStatus&) const { return className; }
const std::string& tCommandRequest::getLibraryName(tStatus&) const { return libraryName; }

void tCommandRequest::setKind(tCommandKind value, tStatus& status) {
  if (!isError(status)) kind = value;
}
void tCommandRequest::setScope(tMapScope value, tStatus& status) {
  if (!isError(status)) scope = value;
}
void tCommandRequest::setX64(std::int32_t value, tStatus& status) {
  if (!isError(status)) x64 = value;
}
void tCommandRequest::setFilePath(const std::string& value, tStatus& status) {
  if (!isError(status)) filePath = value;
}
void tCommandRequest::setClassName(const std::string& value, tStatus& status) {
  if (!isError(status)) className = value;
}
void tCommandRequest::setLibraryName(const std::string& value, tStatus& status) {
  if (!isError(status)) libraryName = value;
}

void tCommandRequest::clear() { *this = tCommandRequest(); }

bool parseScopeName(const std::string& word, const char* prefix, tMapScope& scope) {
  const std::size_t prefixLength = std::strlen(prefix);
  if (word.size() != prefixLength + 1 || word.compare(0, prefixLength, prefix) != 0) return false;
  switch (word.back()) {
    case 'U':
    case 'u':
      scope = 0;
      return true;
    case 'K':
    case 'k':
      scope = 1;
      return true;
    case 'S':
    case 's':
      scope = 2;
      return true;
    default:
      return false;
  }
}

bool setCommandWord(tCommandRequest& request, const std::string& word, const char* prefix,
                    std::span<const std::string> arguments, tStatus& status) {
  static const struct {
    std::string_view name;
    tCommandKind kind;
    std::size_t argumentCount;
  } kWords[] = {{"list", tCommandKind::List, 0},
                {"reset", tCommandKind::Reset, 0},
                {"delete", tCommandKind::Delete, 1},
                {"deletelib", tCommandKind::DeleteLib, 1},
                {"lookuplib", tCommandKind::LookupLib, 1},
                {"lookup", tCommandKind::Lookup, 1},
                {"add", tCommandKind::Add, 2}};
  const std::size_t prefixLength = std::strlen(prefix);
  if (word.compare(0, prefixLength, prefix) != 0) return false;
  const std::string_view name = std::string_view(word).substr(std::min(prefixLength, word.size()));
  for (const auto& entry : kWords) {
    if (name != entry.name || arguments.size() != entry.argumentCount) continue;
    // The kind goes in before the strings, as the grammar has it.
    request.setKind(entry.kind, status);
    using enum tCommandKind;
    if (entry.kind == Add || entry.kind == Delete || entry.kind == Lookup) {
      request.setClassName(arguments[0], status);
    }
    if (entry.kind == DeleteLib || entry.kind == LookupLib) {
      request.setLibraryName(arguments[0], status);
    }
    if (entry.kind == Add) request.setLibraryName(arguments[1], status);
    return true;
  }
  return false;
}

bool is64BitBuild(tStatus&) { return sizeof(void*) == 8; }

void takeRootSwitch(std::vector<std::string>& arguments, std::string& root, tStatus& status) {
  if (isError(status) || arguments.size() < 2 || arguments[1] != "/root") return;
  // A mistyped root would read as an empty map and fail only at the save,
  // with the code of a read-only directory; a root names an image that exists.
  std::error_code error;
  if (arguments.size() < 3 || !arguments[2].starts_with('/') ||
      !std::filesystem::is_directory(arguments[2], error)) {
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
  const std::span<const std::string> rest(args.begin() + 3, std::min<std::size_t>(n, 5) - 3);
  if (!setCommandWord(request, args[2], "/", rest, status)) usageError();
}

}  // namespace nDRAVI100
