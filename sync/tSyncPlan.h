// What a sync changes in one map file, worked out before anything changes.
#pragma once

#include <compare>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "classMap/tClassMapStore.h"
#include "sync/tDeclarations.h"

namespace nDRAVI100 {

// A binding that a declaration made, and the package whose declaration it
// was. The record of a map file is the sorted set of them: a binding in the
// map is the declarations' to change only while the map still holds exactly
// a recorded binding; anything else there belongs to whoever made it.
struct tRecordedBinding {
  tMapScope scope = 0;
  std::string className;
  std::string library;
  std::string package;

  auto operator<=>(const tRecordedBinding&) const = default;
};
using tRecord = std::vector<tRecordedBinding>;

// Returns the record as text: "SCOPE CLASS LIBRARY PACKAGE", a line each.
std::string formatRecord(const tRecord& record);

// Parses what formatRecord wrote into `record`, sorted. Returns false, with
// the number of the first line that does not fit in `error`, otherwise.
[[nodiscard]] bool parseRecord(std::string_view text, tRecord& record, std::string& error);

// Returns the sorted union of two records.
tRecord mergeRecords(const tRecord& first, const tRecord& second);

// One change to the map.
struct tSyncStep {
  bool bind = false;  // bind the class to `library`, else unbind it
  tMapScope scope = 0;
  std::string className;
  std::string library;
};

struct tSyncPlan {
  std::vector<tSyncStep> steps;      // unbinds come before the binds of the same class
  tRecord record;                    // what the declarations will have bound
  std::vector<std::string> notices;  // one line each, for a declaration that is not bound
};

// The class's library in the map, or nothing when the class is not bound.
using tBoundLibrary = std::function<std::optional<std::string>(tMapScope, const std::string&)>;

// Works out how one map file comes to match `declared` (this map file's
// declarations, in the order of their files, with "*" already replaced).
// For each class that a declaration names or `recorded` holds:
// - bound as recorded: the recording package's declaration, when it still
//   has one, keeps it (rebinding a new library), else the first other
//   declaration takes it over; with no declaration left it is unbound;
// - not bound: the first declaration binds it;
// - bound otherwise, by an administrator or another tool: it stays, and each
//   declaration of another library gets a notice.
// A declaration that loses to the one that holds the class gets a notice
// too. `mapName` ("64-bit") names the map file in the notices.
tSyncPlan planSync(const std::vector<tDeclaration>& declared, const tRecord& recorded,
                   const tBoundLibrary& bound, std::string_view mapName);

}  // namespace nDRAVI100
