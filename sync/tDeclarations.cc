#include "sync/tDeclarations.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>
#include <map>
#include <tuple>
#include <utility>

#include "classMap/tMapScope.h"
#include "os/tRegularFile.h"
#include "os/tRoot.h"

namespace nDRAVI100 {

namespace {

constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

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

bool holdsBadBytes(std::string_view field) {
  return std::any_of(field.begin(), field.end(), isControl) ||
         field.find(kByteOrderMark) != std::string_view::npos;
}

// Debian's rule for package names.
bool isPackageName(std::string_view name) {
  const auto lowerOrDigit = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  if (name.size() < 2 || !lowerOrDigit(name.front())) return false;
  return std::all_of(name.begin(), name.end(),
                     [&](char c) { return lowerOrDigit(c) || c == '+' || c == '-' || c == '.'; });
}

bool isArchitecture(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  });
}

}  // namespace

std::string quoteBytes(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string quoted = "\"";
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    const auto byte = static_cast<unsigned char>(bytes[at]);
    const bool mark = bytes.substr(at).starts_with(kByteOrderMark);
    if (isControl(bytes[at]) || mark) {
      for (std::size_t n = 0; n < (mark ? kByteOrderMark.size() : 1); ++n) {
        const auto escaped = static_cast<unsigned char>(bytes[at + n]);
        quoted += "\\x";
        quoted += kHex[escaped >> 4U];
        quoted += kHex[escaped & 0xfU];
      }
      if (mark) at += kByteOrderMark.size() - 1;
    } else if (byte == '\\') {
      quoted += "\\\\";
    } else {
      quoted += bytes[at];
    }
  }
  return quoted + "\"";
}

tResult<std::vector<tDeclaration>> parseDeclarations(std::string_view text,
                                                     const std::string& package) {
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
      return tFailure(std::to_string(number) + ": " + what);
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
      return fail("the map must be 32 or 64, not " + quoteBytes(fields[0]));
    }
    declaration.x64 = fields[0] == "64";
    const std::optional<tMapScope> scope = persistentScopeOfLetter(fields[1]);
    if (!scope) return fail("the scope must be U or K, not " + quoteBytes(fields[1]));
    declaration.scope = *scope;
    for (const auto& [name, field] : {std::pair{"class", fields[2]}, {"library", fields[3]}}) {
      if (holdsBadBytes(field)) {
        return fail(std::string("the ") + name +
                    " must hold no control byte and no byte order mark: " + quoteBytes(field));
      }
    }
    declaration.className = fields[2];
    declaration.library = fields[3];
    if (!declaration.library.starts_with('/')) {
      return fail("the library must be an absolute path, not " + quoteBytes(declaration.library));
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

bool isDeclarationName(const std::string& name) {
  static constexpr std::array<std::string_view, 9> kKeptAside = {
      ".orig", ".rej", ".bak", ".old", ".swp", ".rpmsave", ".rpmnew", ".rpmorig", ".pacsave"};
  if (name.find(".dpkg-") != std::string::npos || name.find(".ucf-") != std::string::npos ||
      name.ends_with(".pacnew")) {
    return false;
  }
  if (std::any_of(kKeptAside.begin(), kKeptAside.end(),
                  [&](std::string_view suffix) { return name.ends_with(suffix); })) {
    return false;
  }
  const std::size_t colon = name.find(':');
  if (colon == std::string::npos) return isPackageName(name);
  return isPackageName(std::string_view(name).substr(0, colon)) &&
         isArchitecture(std::string_view(name).substr(colon + 1));
}

tResult<std::string> readWholeFile(const tRegularFile& file, const std::string& path) {
  const std::string where = path + ": ";
  if (file.notRegular()) return tFailure("not a regular file").after(where);
  std::string bytes;
  if (const int failed = file ? file.readRest(bytes) : file.error(); failed != 0) {
    return tFailure::ofErrno(failed).after(where);
  }
  return bytes;
}

tResult<tDeclared> readDeclarations(const std::string& directory, const std::string& root) {
  tDeclared declared;
  std::vector<std::string> names;
  // Listed through a descriptor found inside the root, as the files are read.
  const int listed = openInRoot(root, directory, O_RDONLY | O_DIRECTORY);
  DIR* listing = listed < 0 ? nullptr : ::fdopendir(listed);
  if (listing == nullptr) {
    const int failure = errno;
    if (listed >= 0) (void)::close(listed);
    if (isMissingFileError(failure)) return declared;
    return tFailure::ofErrno(failure).after(directory + ": ");
  }
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (isDeclarationName(entry->d_name)) names.emplace_back(entry->d_name);
    errno = 0;
  }
  const int failure = errno;
  (void)::closedir(listing);
  if (failure != 0) return tFailure::ofErrno(failure).after(directory + ": ");
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = directory;
    path += '/';
    path += name;
    const tResult<std::string> bytes =
        readWholeFile(tRegularFile::openForReading(path, root), path);
    if (!bytes) {
      declared.held.push_back({name, bytes.failure()});
      continue;
    }
    tResult<std::vector<tDeclaration>> parsed = parseDeclarations(*bytes, name);
    if (!parsed) {
      declared.held.push_back({name, parsed.failure().after(path + ":")});
      continue;
    }
    std::move(parsed->begin(), parsed->end(), std::back_inserter(declared.bindings));
  }
  return declared;
}

}  // namespace nDRAVI100
