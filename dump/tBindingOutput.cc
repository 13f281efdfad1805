#include "dump/tBindingOutput.h"

#include <utility>
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

// A binding as the text form prints it, without its newline.
std::string textLine(char letter, std::string_view className, std::string_view libraryPath) {
  return std::string{letter, '\t'} + escapeForText(className) + '\t' + escapeForText(libraryPath);
}

void writeText(const std::vector<tNamedMap>& maps, std::FILE* out) {
  for (const auto& [letter, map] : maps) {
    for (const auto& [className, libraryPath] : *map)
      put(out, textLine(letter, className, libraryPath) + '\n');
  }
}

void writeJson(const std::vector<tNamedMap>& maps, const std::string& path, std::FILE* out) {
  const auto quoted = [](std::string_view bytes) { return '"' + escapeForJson(bytes) + '"'; };
  put(out, "{\n  \"file\": " + quoted(path));
  for (const auto& [letter, map] : maps) {
    put(out, ",\n  \"" + std::string{letter} + "\": [");
    std::string separator = "\n";
    for (const auto& [className, libraryPath] : *map) {
      put(out, separator + "    {\"class\": " + quoted(className) +
                   ", \"library\": " + quoted(libraryPath) + "}");
      separator = ",\n";
    }
    put(out, map->empty() ? "]" : "\n  ]");
  }
  put(out, "\n}\n");
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
      if (const auto line = addLineFor(letter, std::string(className), std::string(libraryPath))) {
        put(out, *line + "\n");
        continue;
      }
      allCarried = false;
      report(
          dumpVoice(),
          "left out, a command file cannot carry it: " + textLine(letter, className, libraryPath),
          err);
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
      return writeCommands(maps, path, options.x64, out, err);
  }
  return true;
}

}  // namespace nDRAVI100
