// The class map in memory: three maps from class name to library path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "classMap/tMapScope.h"
#include "persistentStorage/tFileSystemAdapter.h"
#include "persistentStorage/tMapFileAccess.h"
#include "persistentStorage/tMapLock.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// One entry of a map, as `list` hands it out.
struct tBinding {
  std::string className;
  std::string libraryPath;

  bool operator==(const tBinding&) const = default;
};

// The values of the store's two flags.
constexpr std::int32_t kSaveEachChange = 0;  // every change saves at once
constexpr std::int32_t kDeferSave = 1;       // the owner saves once, at the end of the run
constexpr std::int32_t kMaps32Bit = 0;       // the map file "dravimap"
constexpr std::int32_t kMaps64Bit = 1;       // the map file "dravimap64"

// What a run needs of the persistent maps, `uMap` and `kMap`.
enum class tMapNeed {
  bindings,      // their bindings: the run may change or ask them
  validityOnly,  // only whether the map file can be read: the run touches
                 // neither map (a query, whose answer nobody sees, or a
                 // command on `sMap`), so the file is read through without
                 // building them
};

// The three maps of a run and the settings that say where they are stored and
// when they are written. Scope 0 selects `uMap`, 1 `kMap` and 2 `sMap`; only
// `uMap` and `kMap` persist, in the map file of the run's bitness, and `sMap`
// lives for one run.
//
// Every operation takes the status word last, does nothing once it holds an
// error and merges its own codes by the word's rules.
class tClassMapStore {
 public:
  // Builds the store and, unless the word already holds an error, finds the
  // map directory (once: the lock, the load and every save use it), takes
  // its lock and loads the map file of the chosen bitness into `uMap` and
  // `kMap`. A missing map file leaves them empty. A map file that exists but
  // cannot be read fails the run with its error, so that the save cannot
  // replace bindings it never saw.
  //
  // A run that holds the lock carries out the recovery plan (see
  // planRecovery): it removes a temporary file that an unfinished run left
  // behind, finishes a copy into the map file that the copy mark shows
  // unfinished, and keeps a damaged map file for salvage under a name of
  // its own, the maps starting empty and the word as it was. A run that
  // cannot take the lock (a user who may read the map but not change it, a
  // read-only file system, or a map directory or directory file whose way
  // another user could change: see tDirectory::steeredBy) fails with the
  // load's error instead, after
  // waiting a while for a copy under way.
  //
  // With `need` validityOnly the map file is only read through and checked;
  // the maps are loaded when an operation on scope 0 or 1 comes after all.
  //
  // `root` is the system whose map it is (see tMapPaths): empty for the
  // running one, or the directory of a system image.
  tClassMapStore(std::int32_t deferSaveFlag, std::int32_t is64BitFlag, tMapNeed need,
                 tStatus& status, const std::string& root = std::string());
  tClassMapStore(std::int32_t deferSaveFlag, std::int32_t is64BitFlag, tStatus& status)
      : tClassMapStore(deferSaveFlag, is64BitFlag, tMapNeed::bindings, status) {}

  // Releases the maps and the lock. Writes nothing: changes that were not
  // saved are lost.
  ~tClassMapStore();

  // The map directory, opened once and locked (when held()), for files
  // that are kept beside the map file, such as zembril-sync's records.
  [[nodiscard]] const tDirectory& directory() const { return mapDirectory; }

  // Returns true when this store found its map file damaged and kept it
  // aside for salvage, so that its maps started empty: the bindings the file
  // held are gone from the maps, though no one removed them. A caller that
  // keeps its own account of bindings (zembril-sync) must not take them for
  // bindings undone by hand.
  [[nodiscard]] bool keptDamagedMapFileAside() const { return damagedMapFileKept; }

  tClassMapStore(const tClassMapStore&) = delete;
  tClassMapStore& operator=(const tClassMapStore&) = delete;

  // Returns the bitness flag given at construction.
  std::int32_t getIs64Bit() const { return is64Bit; }

  // Returns the library path bound to `className` in the scope's map, or a
  // shared empty string when the class is not bound (or the scope names no
  // map). The view stays valid until that map next changes.
  [[nodiscard]] std::string_view lookup(const std::string& className, tMapScope scope,
                                        tStatus& status);

  // Binds `className` to `libraryPath` in the scope's map. A class already
  // bound to a non-empty path keeps it and raises the warning nCode::kAlreadyBound; a class
  // bound to the empty path keeps that too, silently. A scope that names no
  // map raises nCode::kBadAddScope and changes nothing.
  void add(const std::string& className, const std::string& libraryPath, tMapScope scope,
           tStatus& status);

  // Binds as add does, but raises no warning, and in a store that defers
  // its save does not search now: whether the class was bound already is
  // settled when the map is next searched, walked or saved (see
  // tClassNameMap::addUnlessBound), so that a command file's adds cost a
  // sort, not a search each. For a caller that would clear the warning.
  // With tNameBytes::lasting, a store that defers its save views the two
  // strings where they stand and returns true; every other add copies them
  // and returns false.
  bool addUnlessBound(std::string_view className, std::string_view libraryPath, tMapScope scope,
                      tNameBytes given, tStatus& status);

  // Makes room in the scope's map for `count` more adds, so that a command
  // file's many adds do not grow it a doubling at a time (a copy of every
  // binding and fresh memory each). Only a hint: it changes no binding and
  // raises nothing but the errors of a load.
  void expectAdds(std::size_t count, tMapScope scope, tStatus& status);

  // Removes the binding of `className` from the scope's map, if there is one.
  void deleteClass(const std::string& className, tMapScope scope, tStatus& status);

  // Removes every binding of the scope's map whose library path is exactly
  // `libraryPath`.
  void deleteLib(const std::string& libraryPath, tMapScope scope, tStatus& status);

  // Empties the scope's map.
  void reset(tMapScope scope, tStatus& status);

  // Returns, in ascending order, the class names of the scope's map that are
  // bound to exactly `libraryPath`.
  [[nodiscard]] std::vector<std::string> lookupLib(const std::string& libraryPath, tMapScope scope,
                                                   tStatus& status);

  // Returns a copy of every binding of the scope's map, in ascending order.
  [[nodiscard]] std::vector<tBinding> list(tMapScope scope, tStatus& status);

  // Writes the map file of every listed kind whose maps differ from what the
  // file holds (see saveMapFile).
  void saveAllMapFiles(tStatus& status);

 private:
  // Replaces the map file of `os` atomically with the maps in memory, or
  // removes it when those maps are all empty (see saveMapFileAt), unless
  // that would change nothing: a run whose maps end as they were loaded
  // writes nothing at all. Only a run that holds the lock writes; one that
  // would have to write without it raises nCode::kCannotOpen. A run without the lock
  // never mends a file it loaded, however it found it.
  void saveMapFile(tOS os, tStatus& status);

  // Returns true when saving the maps of `os` would change the map file.
  bool mapFileNeedsSaving(tOS os);

  // Loads the map file of `os`, or with `need` validityOnly only checks it;
  // a run that holds the lock then carries out the recovery plan.
  void loadOrResetMapFile(tOS os, tMapNeed need, tStatus& status);

  // Reads the map file of `os` into its maps, or only checks it, and raises
  // the read's code; see readMapFile.
  tMapFileRead loadMapFile(tOS os, tMapNeed need, tStatus& status);

  // Loads the maps that a validityOnly construction left unloaded, before an
  // operation on `scope` works on them.
  void loadMapsFor(tMapScope scope, tStatus& status);

  // Notes that an operation on `scope` changed its map.
  void noteChange(tMapScope scope);
  // Notes a change when the adds of addUnlessBound since the last call
  // bound anything.
  void settleSilentAdds();

  // Returns the name of the map file of `os` for this store's bitness.
  std::string mapFileNameOf(tOS os) const;

  // Returns the maps that the map file of `os` holds: `uMap` and `kMap`, or
  // `sMap` alone (`second` is then null).
  tClassNameMap& firstMapOf(tOS os);
  tClassNameMap* secondMapOf(tOS os);

  const tClassNameMap* selectMap(tMapScope scope) const;
  tClassNameMap* selectMap(tMapScope scope);
  void saveIfNotDeferred(tStatus& status);

  tClassNameMap uMap;
  tClassNameMap kMap;
  tClassNameMap sMap;
  std::int32_t deferSave;
  std::int32_t is64Bit;
  std::vector<tOS> osList;
  // Opened once: every file of the run is reached through it.
  tDirectory mapDirectory;
  tMapLock mapLock;
  // What the load found, and whether `uMap` and `kMap` were changed since:
  // together they tell whether the save has anything to write.
  tMapFileRead mapFileLoad;
  bool persistentMapsLoaded = true;
  bool persistentMapsChanged = false;
  bool damagedMapFileKept = false;
  // Whether addUnlessBound added to `uMap` or `kMap` since
  // settleSilentAdds, and their bind counts before it did.
  bool silentAdds = false;
  std::size_t uBindsBefore = 0;
  std::size_t kBindsBefore = 0;
};

}  // namespace nDRAVI100
