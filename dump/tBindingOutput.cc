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
  const std::vector<tSnapshotBinding>* bindings;
};

std::vector<tNamedMap> chosenMaps(const std::array<std::vector<tSnapshotBinding>, 2>& bindings,
                                  tScopeChoice scope) {
  std::vector<tNamedMap> maps;
  if (scope != tScopeChoice::kOnly) maps.push_back({letterOfScope(0), &bindings[0]});
  if (scope != tScopeChoice::uOnly) maps.push_back({letterOfScope(1), &bindings[1]});
  return maps;
}

// Writes `pieces` to `out` one after another: a binding's strings go out
// where they stand, never copied into a line of their size first.
void putLine(std::FILE* out, std::initializer_list<std::string_view> pieces) {
  for (const std::string_view piece : pieces) (void)std::fwrite(piece.data(), 1, piece.size(), out);
}

// Writes the strings of one snapshot, a piece at a time, and remembers
// whether every string left in the file could be read from it.
class tStringWriter {
 public:
  explicit tStringWriter(const tMapFileSnapshot& from) : snapshot(from) {}

  void putEscaped(std::FILE* out, const tSnapshotString& text, tEscapedForm form) {
    tEscapedWriter escaped(out, form);
    read(text, [&](std::string_view piece) { escaped.put(piece); });
  }

  void putRaw(std::FILE* out, const tSnapshotString& text) {
    read(text, [&](std::string_view piece) { putLine(out, {piece}); });
  }

  bool carried(const tSnapshotString& text, bool className) {
    tCarriedName carriedName(className);
    read(text, [&](std::string_view piece) { carriedName.take(piece); });
    return carriedName.carried();
  }

  // A binding as the text form prints it, newline included.
  void putTextLine(std::FILE* out, char letter, const tSnapshotBinding& binding) {
    putLine(out, {std::string_view(&letter, 1), "\t"});
    putEscaped(out, binding.className, tEscapedForm::text);
    putLine(out, {"\t"});
    putEscaped(out, binding.library, tEscapedForm::text);
    putLine(out, {"\n"});
  }

  void putQuoted(std::FILE* out, const tSnapshotString& text) {
    putLine(out, {"\""});
    putEscaped(out, text, tEscapedForm::json);
    putLine(out, {"\""});
  }

  // The message of report(), written in pieces as the text form is.
  void leaveOut(std::FILE* err, char letter, const tSnapshotBinding& binding) {
    putLine(err, {dumpVoice().name, ": left out, a command file cannot carry it: "});
    putTextLine(err, letter, binding);
  }

  bool readWhole = true;

 private:
  void read(const tSnapshotString& text, const std::function<void(std::string_view)>& piece) {
    if (!snapshot.forEachPiece(text, piece)) readWhole = false;
  }

  const tMapFileSnapshot& snapshot;
};

void writeText(const std::vector<tNamedMap>& maps, tStringWriter& strings, std::FILE* out) {
  for (const auto& [letter, bindings] : maps) {
    for (const tSnapshotBinding& binding : *bindings) strings.putTextLine(out, letter, binding);
  }
}

void writeJson(const std::vector<tNamedMap>& maps, const std::string& path, tStringWriter& strings,
               std::FILE* out) {
  putLine(out, {"{\n  \"file\": \""});
  putEscapedForJson(out, path);
  putLine(out, {"\""});
  for (const auto& [letter, bindings] : maps) {
    putLine(out, {",\n  \"", std::string_view(&letter, 1), "\": ["});
    std::string_view separator = "\n";
    for (const tSnapshotBinding& binding : *bindings) {
      putLine(out, {separator, "    {\"class\": "});
      strings.putQuoted(out, binding.className);
      putLine(out, {", \"library\": "});
      strings.putQuoted(out, binding.library);
      putLine(out, {"}"});
      separator = ",\n";
    }
    putLine(out, {bindings->empty() ? "]" : "\n  ]"});
  }
  putLine(out, {"\n}\n"});
}

// --missing --format=commands: a command file that unbinds each binding
// listed and leaves every other one as it is.
bool writeUnbindCommands(const std::vector<tNamedMap>& maps, const std::string& path, bool x64,
                         tStringWriter& strings, std::FILE* out, std::FILE* err) {
  put(out, "# zembril command file: unbinds the bindings of " + escapeForText(path) +
               " whose library is not there.\n");
  put(out, std::string("# Read it, then replay it with \"zembril ") + (x64 ? "/x64 " : "") +
               "/file FILE\".\n");
  bool allCarried = true;
  for (const auto& [letter, bindings] : maps) {
    for (const tSnapshotBinding& binding : *bindings) {
      // A delete line ends at the class (see deleteLineFor).
      if (strings.carried(binding.className, true)) {
        putLine(out, {"# bound to "});
        strings.putEscaped(out, binding.library, tEscapedForm::text);
        putLine(out, {"\n", std::string_view(&letter, 1), ",delete,"});
        strings.putRaw(out, binding.className);
        putLine(out, {"\n"});
        continue;
      }
      allCarried = false;
      strings.leaveOut(err, letter, binding);
    }
  }
  return allCarried;
}

// The commands form. Of a whole map (or scope) it replaces the map on
// replay; of the bindings that --class or --library keep (`some`) it binds
// each of their classes as here, a delete before each add, for an add
// leaves a class bound elsewhere as it is: a reset would unbind every
// binding the filters left out.
bool writeCommands(const std::vector<tNamedMap>& maps, const std::string& path, bool x64, bool some,
                   tStringWriter& strings, std::FILE* out, std::FILE* err) {
  const std::string which =
      maps.size() == 2 ? "the U and K maps" : std::string("the ") + maps.front().letter + " map";
  // The path is escaped so that the comment stays one line whatever it holds.
  put(out, "# zembril command file: " + std::string(some ? "some bindings of " : "") + which +
               " of " + escapeForText(path) + ".\n");
  const std::string replay =
      std::string("# Replay it with \"zembril ") + (x64 ? "/x64 " : "") + "/file FILE\": it ";
  if (some) {
    put(out, replay + "binds each of these classes as here and leaves every other binding.\n");
  } else {
    put(out,
        replay + "replaces " + (maps.size() == 2 ? "both maps" : "that map") + " in one run.\n");
    for (const auto& named : maps) put(out, std::string{named.letter} + ",reset\n");
  }
  bool allCarried = true;
  for (const auto& [letter, bindings] : maps) {
    for (const tSnapshotBinding& binding : *bindings) {
      if (strings.carried(binding.className, true) && strings.carried(binding.library, false)) {
        if (some) {
          putLine(out, {std::string_view(&letter, 1), ",delete,"});
          strings.putRaw(out, binding.className);
          putLine(out, {"\n"});
        }
        putLine(out, {std::string_view(&letter, 1), ",add,"});
        strings.putRaw(out, binding.className);
        putLine(out, {","});
        strings.putRaw(out, binding.library);
        putLine(out, {"\n"});
        continue;
      }
      allCarried = false;
      strings.leaveOut(err, letter, binding);
    }
  }
  return allCarried;
}

}  // namespace

tWrittenBindings writeBindings(const tMapFileSnapshot& snapshot,
                               const std::array<std::vector<tSnapshotBinding>, 2>& bindings,
                               const std::string& path, const tDumpOptions& options, std::FILE* out,
                               std::FILE* err) {
  const std::vector<tNamedMap> maps = chosenMaps(bindings, options.scope);
  tStringWriter strings(snapshot);
  tWrittenBindings written;
  switch (options.form) {
    case tOutputForm::text:
      writeText(maps, strings, out);
      break;
    case tOutputForm::json:
      writeJson(maps, path, strings, out);
      break;
    case tOutputForm::commands:
      written.allCarried =
          options.missing ? writeUnbindCommands(maps, path, options.x64, strings, out, err)
                          : writeCommands(maps, path, options.x64,
                                          !options.classes.empty() || !options.libraries.empty(),
                                          strings, out, err);
      break;
  }
  written.readWhole = strings.readWhole;
  return written;
}

}  // namespace nDRAVI100
