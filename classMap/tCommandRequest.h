// One parsed command, as the command line or a command file gives it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "classMap/tMapScope.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// The command that a request asks for. The numbers are fixed: the dispatch
// and the command file agree on them.
enum class tCommandKind : std::int32_t {
  File = 0,
  Add = 1,
  Delete = 2,
  DeleteLib = 3,
  Reset = 4,
  Lookup = 5,
  LookupLib = 6,
  List = 7,
  None = 8,
};

// A command as the grammar of the command line or of a command file produced
// it. The request owns its strings. Its accessors never fail and neither read
// nor change the status word; its setters do nothing once the word holds an
// error, never change the word and store the value unchecked.
class tCommandRequest {
 public:
  tCommandRequest() = default;

  tCommandKind getKind(tStatus& status) const;
  tMapScope getScope(tStatus& status) const;
  std::int32_t getX64(tStatus& status) const;
  const std::string& getFilePath(tStatus& status) const;
  const std::string& getClassName(tStatus& status) const;
  const std::string& getLibraryName(tStatus& status) const;

  void setKind(tCommandKind value, tStatus& status);
  void setScope(tMapScope value, tStatus& status);
  void setX64(std::int32_t value, tStatus& status);
  void setFilePath(std::string_view value, tStatus& status);
  void setClassName(std::string_view value, tStatus& status);
  void setLibraryName(std::string_view value, tStatus& status);

  // Puts every field back to its initial value: kind None, scope 0, empty
  // strings and x64 0.
  void clear();

 private:
  tCommandKind kind = tCommandKind::None;
  tMapScope scope = 0;
  std::string filePath;
  std::string className;
  std::string libraryName;
  std::int32_t x64 = 0;
};

// Returns true and stores the scope when `word` is `prefix` followed by one
// scope letter, U (0), K (1) or S (2), in either case. The command line's
// switches have the prefix "/", a command file's letters none.
bool parseScopeName(std::string_view word, const char* prefix, tMapScope& scope);

// Sets the kind, and the strings it uses, that the command word `word` stands
// for when `prefix` ("/" on the command line, nothing in a command file) and
// one of these names make it up and `arguments` follow it: "list" and
// "reset" with none; "delete" and "lookup" with a class name; "deletelib"
// and "lookuplib" with a library name; "add" with a class name and a library
// name. Returns false, changing nothing, for any other word or number of
// arguments.
bool setCommandWord(tCommandRequest& request, std::string_view word, const char* prefix,
                    std::span<const std::string_view> arguments, tStatus& status);

// Returns `libraryName` with its first "*" replaced by "64" when `is64Bit`
// is non-zero and by "32" otherwise; later "*" stay as they are.
std::string substituteBitness(const std::string& libraryName, std::int32_t is64Bit);

// Returns true when `libraryName` holds the "*" that substituteBitness
// replaces.
bool namesBitness(const std::string& libraryName);

}  // namespace nDRAVI100
