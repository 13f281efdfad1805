#include "dump/tBindingOutput.h"

#include <initializer_list>
#include <string_view>
#include <vector>

#include "classMap/tCommandFileGrammar.h"
#include "classMap/tMapScope.h"
#include "cli/tProgramVoice.h"
#include "cli/tTextEscaping.h"

namespace nDRAVI100 {

namespace {

struct tNamedMap {
  char letter;
  const tClassNameMap* map;
};

std::vector<tNamedMap> chosenMaps(const tClassNameMap& uMap, const tClassNameMap& kMap,
                                  tScopeChoice scope) {
  std::vector<tNamedMap> maps;
  if (scope != tScopeChoice::kOnly) maps.push_back({letterOfScope(0), &uMap});
  if (scope != tScopeChoice::uOnly) maps.push_back({letterOfScope(1), &kMap});
  return maps;
}

// Writes `pieces` to `out` one after another: a binding's strings go out
// where they stand, never copied into a line of their size first.
void putLine(std::FILE* out, std::initializer_list<std::string_view> pieces) {
  for (const std::string_view piece : pieces) (void)std::fwrite(piece.data(), 1, piece.size(), out);
}

// A binding as the text form prints it, newline included.
void putTextLine(std::FILE* out, char letter, std::string_view className,
                 std::string_view libraryPath) {
  putLine(out, {std::string_view(&letter, 1), "\t"});
  putEscapedForText(out, className);
  putLine(out, {"\t"});
  putEscapedForText(out, libraryPath);
  putLine(out, {"\n"});
}

void writeText(const std::vector<tNamedMap>& maps, std::FILE* out) {
  for (const auto& [letter, map] : maps) {
    for (const auto& [className, libraryPath] : *map)
      putTextLine(out, letter, className, libraryPath);
  }
}

void putQuoted(std::FILE* out, std::string_view bytes) {
  putLine(out, {"\""});
  putEscapedForJson(out, bytes);
  putLine(out, {"\""});
}

void writeJson(const std::vector<tNamedMap>& maps, const std::string& path, std::FILE* out) {
  putLine(out, {"{\n  \"file\": "});
  putQuoted(out, path);
  for (const auto& [letter, map] : maps) {
    putLine(out, {",\n  \"", std::string_view(&letter, 1), "\": ["});
    std::string_view separator = "\n";
    for (const auto& [className, libraryPath] : *map) {
      putLine(out, {separator, "    {\"class\": "});
      putQuoted(out, className);
      putLine(out, {", \"library\": "});
      putQuoted(out, libraryPath);
      putLine(out, {"}"});
      separator = ",\n";
    }
    putLine(out, {map->empty() ? "]" : "\n  ]"});
  }
  putLine(out, {"\n}\n"});
}

// --missing --format=commands: a command file that unbinds each binding
// listed and leaves every other one as it is.
bool writeUnbindCommands(const std::vector<tNamedMap>& maps, const std::string& path, bool x64,
                         std::FILE* out, std::FILE* err) {
  put(out, "# zembril command file: unbinds the bindings of " + escapeForText(path) +
               " whose library is not there.\n");
  put(out, std::string("# Read it, then replay it with \"zembril ") + (x64 ? "/x64 " : "") +
               "/file FILE\".\n");
  bool allCarried = true;
  for (const auto& [letter, map] : maps) {
    for (const auto& [className, libraryPath] : *map) {
      if (const auto line = deleteLineFor(letter, className)) {
        put(out, "# bound to " + escapeForText(libraryPath) + "\n" + *line + "\n");
        continue;
      }
      allCarried = false;
      putLine(err, {dumpVoice().name, ": left out, a command file cannot carry it: "});
      putTextLine(err, letter, className, libraryPath);
    }
  }
  return allCarried;
}

bool writeCommands(const std::vector<tNamedMap>& maps, const std::string& path, bool x64,
                   std::FILE* out, std::FILE* err) {
  const std::string which =
      maps.size() == 2 ? "the U and K maps" : std::string("the ") + maps.front().letter + " map";
  // The path is escaped so that the comment stays one line whatever it holds.
  put(out, "# zembril command file: " + which + " of " + escapeForText(path) + ".\n");
  put(out, std::string("# Replay it with \"zembril ") + (x64 ? "/x64 " : "") +
               "/file FILE\": it replaces " + (maps.size() == 2 ? "both maps" : "that map") +
               " in one run.\n");
  for (const auto& named : maps) put(out, std::string{named.letter} + ",reset\n");
  bool allCarried = true;
  for (const auto& [letter, map] : maps) {
    for (const auto& [className, libraryPath] : *map) {
      if (fileLineCarries(letter, className, libraryPath)) {
        putLine(out, {std::string_view(&letter, 1), ",add,", className, ",", libraryPath, "\n"});
        continue;
      }
      allCarried = false;
      // The message of report(), written in pieces as the text form is.
      putLine(err, {dumpVoice().name, ": left out, a command file cannot carry it: "});
      putTextLine(err, letter, className, libraryPath);
    }
  }
  return allCarried;
}

}  // namespace

bool writeBindings(const tClassNameMap& uMap, const tClassNameMap& kMap, const std::string& path,
                   const tDumpOptions& options, std::FILE* out, std::FILE* err) {
  const std::vector<tNamedMap> maps = chosenMaps(uMap, kMap, options.scope);
  switch (options.form) {
    case tOutputForm::text:
      writeText(maps, out);
      return true;
    case tOutputForm::json:
      writeJson(maps, path, out);
      return true;
    case tOutputForm::commands:
      if (options.missing) return writeUnbindCommands(maps, path, options.x64, out, err);
      return writeCommands(maps, path, options.x64, out, err);
  }
  return true;
}

}  // namespace nDRAVI100
