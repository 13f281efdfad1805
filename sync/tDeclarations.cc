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

// The names that dpkg, rpm and pacman allow, together: each allows a part
// of these, and a declaration may come from any of them.
bool isPackageName(std::string_view name) {
  const auto allowed = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '@' ||
           c == '.' || c == '_' || c == '+' || c == '-';
  };
  return !name.empty() && name.front() != '.' && name.front() != '-' &&
         std::all_of(name.begin(), name.end(), allowed);
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

tDeclarationName classifyDeclarationName(std::string_view name) {
  static constexpr std::array<std::string_view, 5> kLeftovers = {".rpmsave", ".rpmnew", ".rpmorig",
                                                                 ".pacsave", ".pacnew"};
  static constexpr std::array<std::string_view, 6> kKeptAside = {".orig", ".rej", ".bak",
                                                                 ".old",  ".swp", "~"};
  const auto endsWithOneOf = [&](const auto& suffixes) {
    return std::any_of(suffixes.begin(), suffixes.end(),
                       [&](std::string_view suffix) { return name.ends_with(suffix); });
  };
  if (name.find(".dpkg-") != std::string_view::npos ||
      name.find(".ucf-") != std::string_view::npos || endsWithOneOf(kLeftovers)) {
    return tDeclarationName::leftover;
  }
  // Legal package names too, but far likelier a person's copy than a package.
  if (endsWithOneOf(kKeptAside)) return tDeclarationName::keptAside;
  const std::size_t colon = name.find(':');
  const bool named = colon == std::string_view::npos ? isPackageName(name)
                                                     : isPackageName(name.substr(0, colon)) &&
                                                           isPackageName(name.substr(colon + 1));
  return named ? tDeclarationName::declaration : tDeclarationName::foreign;
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
  std::vector<std::pair<std::string, tDeclarationName>> passedOver;
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    const tDeclarationName kind = classifyDeclarationName(name);
    if (kind == tDeclarationName::declaration) names.emplace_back(name);
    if (kind == tDeclarationName::keptAside || kind == tDeclarationName::foreign) {
      passedOver.emplace_back(name, kind);
    }
    errno = 0;
  }
  const int failure = errno;
  (void)::closedir(listing);
  if (failure != 0) return tFailure::ofErrno(failure).after(directory + ": ");
  std::sort(names.begin(), names.end());
  std::sort(passedOver.begin(), passedOver.end());
  for (const auto& [name, kind] : passedOver) {
    // A name is any bytes but "/" and NUL: one with a control byte is
    // shown escaped, so that the line says what is really there.
    std::string path = directory;
    path += '/';
    path += name;
    declared.passedOver.emplace_back(
        (holdsBadBytes(name) ? quoteBytes(path) : path) +
        (kind == tDeclarationName::keptAside
             ? ": passed over: a copy that patch or an editor keeps aside"
             : ": passed over: no package can have this name"));
  }
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
