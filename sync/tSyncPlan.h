// What a sync changes in one map file, worked out before anything changes.
#pragma once

#include <compare>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "classMap/tClassMapStore.h"
#include "cli/tFailure.h"
#include "sync/tDeclarations.h"

namespace nDRAVI100 {

// What a line of the record says of its class.
enum class tRecordState {
  bound,      // a declaration bound it, and the map held it after the last run
  binding,    // a run is about to bind it, or a record of an older zembril-sync said so
  unbinding,  // a run is about to unbind it or bind it to another library
  unbound,    // an administrator unbound it: declarations leave it alone
  lost,       // the package's declaration lost to the holder, and that was reported
};

// One line of the record of a map file. The record is the sorted set of
// them: a binding in the map is the declarations' to change only while the
// map still holds exactly a recorded binding; anything else there belongs
// to whoever made it.
struct tRecordedBinding {
  tMapScope scope = 0;
  std::string className;
  std::string library;  // for unbound: the library the class had; for lost: the one declared
  std::string package;  // the declarer
  tRecordState state = tRecordState::bound;

  auto operator<=>(const tRecordedBinding&) const = default;
};
using tRecord = std::vector<tRecordedBinding>;

// Returns the record as text: "STATE SCOPE CLASS LIBRARY PACKAGE", a line each.
std::string formatRecord(const tRecord& record);

// Parses what formatRecord wrote into a record, sorted. Lines of the four
// fields that zembril-sync 1.2.0 wrote ("SCOPE CLASS LIBRARY PACKAGE") are
// read as binding: what it recorded was not necessarily in the map. Fails
// at the first line that does not fit: "line 3 does not fit", "line 3 has
// no end".
[[nodiscard]] tResult<tRecord> parseRecord(std::string_view text);

// One change to the map.
struct tSyncStep {
  bool bind = false;  // bind the class to `library`, else unbind it
  tMapScope scope = 0;
  std::string className;
  std::string library;

  bool operator==(const tSyncStep&) const = default;
};

struct tSyncPlan {
  std::vector<tSyncStep> steps;      // unbinds come before the binds of the same class
  tRecord before;                    // the record to write before the map changes
  tRecord record;                    // the record once the map has changed
  std::vector<std::string> notices;  // one line each, for what arose in this run
};

// The class's library in the map, or nothing when the class is not bound.
using tBoundLibrary = std::function<std::optional<std::string>(tMapScope, const std::string&)>;

// Works out how one map file comes to match `declared` (this map file's
// declarations, in the order of their files, with "*" already replaced).
// `held` names the declarers whose files cannot be read now. For each class
// that a declaration names or `recorded` holds:
// - bound as recorded: when the recording package is held, the binding
//   stays as it is, and so do the record's lines of what the package lost;
//   else that package's declaration keeps it (rebinding a new library)
//   while it has one, the first other declaration takes it over when it
//   does not, and with no declaration left it is unbound;
// - not bound, though the map held it as recorded after the last run: an
//   administrator unbound it, and no declaration binds it again while the
//   record says so (the class is then recorded unbound), unless no
//   declaration names it and its package is not held: then it is gone;
// - not bound otherwise: the first declaration binds it;
// - bound otherwise, by an administrator or another tool: it stays, and
//   each declaration of another library loses.
// Each declaration that loses to the holder of its class, and each class
// that becomes unbound by hand, gets a notice in the run where that arises;
// the record remembers it, so that the next runs stay quiet. `mapName`
// ("64-bit") names the map file in the notices.
//
// `before` differs from `recorded` only when there are steps: the classes
// about to be bound are added as binding and those about to lose their
// library marked unbinding, so that a run that stops after the save, as
// one that stops before it, leaves a record from which the next run does
// the same thing again rather than take the change for an administrator's.
tSyncPlan planSync(const std::vector<tDeclaration>& declared, const tRecord& recorded,
                   const std::set<std::string>& held, const tBoundLibrary& bound,
                   std::string_view mapName);

// Whether a library path, as bound, leads to a regular file on the system
// whose map it is.
using tLibraryFound = std::function<bool(const std::string&)>;

// One notice, "64-bit U map: W is bound to /usr/lib64/libw.so.1 as libw1
// declares, but no regular file is there; ...", for each binding that
// `record` says the declarations hold (bound) whose absolute library path
// `found` does not find. Such a binding is never undone: a package may
// install its library after its declaration. `mapName` as for planSync.
[[nodiscard]] std::vector<std::string> missingLibraryNotices(const tRecord& record,
                                                             const tLibraryFound& found,
                                                             std::string_view mapName);

}  // namespace nDRAVI100
