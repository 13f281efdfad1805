#include "sync/tDeclarations.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <tuple>
#include <utility>

#include "persistentStorage/tRegularFile.h"

namespace nDRAVI100 {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string_view> splitAtBlanks(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && isBlank(line[at])) ++at;
    const std::size_t start = at;
    while (at < line.size() && !isBlank(line[at])) ++at;
    if (at > start) fields.push_back(line.substr(start, at - start));
  }
  return fields;
}

// Debian's rule for package names; anything else in the directory is no
// declaration (an editor's backup, a README).
bool isPackageName(const std::string& name) {
  const auto lowerOrDigit = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  if (name.size() < 2 || !lowerOrDigit(name.front())) return false;
  return std::all_of(name.begin(), name.end(),
                     [&](char c) { return lowerOrDigit(c) || c == '+' || c == '-' || c == '.'; });
}

bool readWhole(const std::string& path, std::string& bytes, std::string& error) {
  const tRegularFile file = tRegularFile::openForReading(path);
  const int failed = file ? file.readRest(bytes) : file.error();
  if (file.notRegular() || failed != 0) {
    error = path + ": " + (file.notRegular() ? "not a regular file" : std::strerror(failed));
    return false;
  }
  return true;
}

}  // namespace

std::vector<tDeclaration> parseDeclarations(std::string_view text, const std::string& package,
                                            std::string& error) {
  std::vector<tDeclaration> declarations;
  // The line of each map, scope and class, to name both lines of a repeat.
  std::map<std::tuple<bool, tMapScope, std::string>, std::size_t> seen;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    const auto fail = [&](const std::string& what) {
      error = std::to_string(number) + ": " + what;
      return std::vector<tDeclaration>();
    };
    if (line.starts_with('#')) continue;
    const std::vector<std::string_view> fields = splitAtBlanks(line);
    if (fields.empty()) continue;
    if (fields.size() != 4) {
      return fail("expected 4 fields (map, scope, class, library), found " +
                  std::to_string(fields.size()));
    }
    tDeclaration declaration;
    if (fields[0] != "32" && fields[0] != "64") {
      return fail("the map must be 32 or 64, not \"" + std::string(fields[0]) + "\"");
    }
    declaration.x64 = fields[0] == "64";
    if (fields[1] != "U" && fields[1] != "K") {
      return fail("the scope must be U or K, not \"" + std::string(fields[1]) + "\"");
    }
    declaration.scope = fields[1] == "U" ? 0 : 1;
    declaration.className = fields[2];
    declaration.library = fields[3];
    if (!declaration.library.starts_with('/')) {
      return fail("the library must be an absolute path, not \"" + declaration.library + "\"");
    }
    const auto [where, added] =
        seen.try_emplace({declaration.x64, declaration.scope, declaration.className}, number);
    if (!added) {
      return fail(std::string(fields[1]) + " " + declaration.className + " of the " +
                  std::string(fields[0]) + "-bit map is declared twice (lines " +
                  std::to_string(where->second) + " and " + std::to_string(number) + ")");
    }
    declaration.package = package;
    declarations.push_back(std::move(declaration));
  }
  return declarations;
}

bool readDeclarations(const std::string& directory, std::vector<tDeclaration>& declarations,
                      std::string& error) {
  namespace fs = std::filesystem;
  std::error_code failure;
  std::vector<std::string> names;
  for (fs::directory_iterator entry(directory, failure), end; !failure && entry != end;
       entry.increment(failure)) {
    const std::string name = entry->path().filename().string();
    if (isPackageName(name) && name.find(".dpkg-") == std::string::npos) names.push_back(name);
  }
  if (failure && failure != std::errc::no_such_file_or_directory) {
    error = directory + ": " + failure.message();
    return false;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = directory;
    path += '/';
    path += name;
    std::string bytes;
    if (!readWhole(path, bytes, error)) return false;
    std::vector<tDeclaration> parsed = parseDeclarations(bytes, name, error);
    if (!error.empty()) {
      error.insert(0, path + ":");
      return false;
    }
    std::move(parsed.begin(), parsed.end(), std::back_inserter(declarations));
  }
  return true;
}

}  // namespace nDRAVI100
