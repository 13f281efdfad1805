// One parsed command, and the grammar of the command line that builds it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "classMap/tClassMapStore.h"
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
  void setFilePath(const std::string& value, tStatus& status);
  void setClassName(const std::string& value, tStatus& status);
  void setLibraryName(const std::string& value, tStatus& status);

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
bool parseScopeName(const std::string& word, const char* prefix, tMapScope& scope);

// Sets the kind, and the strings it uses, that the command word `word` stands
// for when `prefix` ("/" on the command line, nothing in a command file) and
// one of these names make it up and `arguments` follow it: "list" and
// "reset" with none; "delete" and "lookup" with a class name; "deletelib"
// and "lookuplib" with a library name; "add" with a class name and a library
// name. Returns false, changing nothing, for any other word or number of
// arguments.
bool setCommandWord(tCommandRequest& request, const std::string& word, const char* prefix,
                    std::span<const std::string> arguments, tStatus& status);

// Returns true when the program is built for a 64-bit platform, which is what
// makes "/x64" acceptable. Never changes the status word.
bool is64BitBuild(tStatus& status);

// Takes a leading "/root DIR" (right after the program name) out of
// `arguments` and sets `root` to DIR, without trailing slashes (empty for
// "/"): the root of every path of this run (see tMapPaths); the rest of the
// command line is then read as if the switch had never been there. Without
// the switch nothing changes. A missing, empty or relative DIR, or one that
// is not an existing directory, is a usage error: the word gets -88361, and
// `arguments` and `root` stay as they were. Does nothing once the word
// holds an error.
void takeRootSwitch(std::vector<std::string>& arguments, std::string& root, tStatus& status);

// Turns the process's argument list (the program name at index 0) into
// `request`. The request is reset first. A malformed command line leaves the
// kind at None and merges the usage error -88361 into the word; fields found
// before the error keep their values. When the word already holds an error
// the request stays in its initial state. `arguments` is not changed.
void parseCommandLine(tCommandRequest& request, const std::vector<std::string>& arguments,
                      tStatus& status);

}  // namespace nDRAVI100
