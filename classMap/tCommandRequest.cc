#include "classMap/tCommandRequest.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace nDRAVI100 {

namespace {

// The only place in a library name that depends on the run's bitness.
const std::string& substitutionToken() {
  static const std::string token = "*";
  return token;
}

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
void tCommandRequest::setFilePath(std::string_view value, tStatus& status) {
  // Assigned, not made anew: the string keeps its room from line to line.
  if (!isError(status)) filePath.assign(value);
}
void tCommandRequest::setClassName(std::string_view value, tStatus& status) {
  // Assigned, not made anew: the string keeps its room from line to line.
  if (!isError(status)) className.assign(value);
}
void tCommandRequest::setLibraryName(std::string_view value, tStatus& status) {
  // Assigned, not made anew: the string keeps its room from line to line.
  if (!isError(status)) libraryName.assign(value);
}

void tCommandRequest::clear() { *this = tCommandRequest(); }

bool parseScopeName(std::string_view word, const char* prefix, tMapScope& scope) {
  const std::size_t prefixLength = std::strlen(prefix);
  if (word.size() != prefixLength + 1 || word.compare(0, prefixLength, prefix) != 0) return false;
  const std::optional<tMapScope> named = scopeOfLetter(word.substr(prefixLength));
  if (named) scope = *named;
  return named.has_value();
}

bool setCommandWord(tCommandRequest& request, std::string_view word, const char* prefix,
                    std::span<const std::string_view> arguments, tStatus& status) {
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
  const std::string_view name = word.substr(std::min(prefixLength, word.size()));
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

bool namesBitness(const std::string& libraryName) {
  return libraryName.find(substitutionToken()) != std::string::npos;
}

std::string substituteBitness(const std::string& libraryName, std::int32_t is64Bit) {
  std::string substituted = libraryName;
  const std::string::size_type at = substituted.find(substitutionToken());
  if (at != std::string::npos) {
    substituted.replace(at, substitutionToken().size(), is64Bit != 0 ? "64" : "32");
  }
  return substituted;
}

}  // namespace nDRAVI100
