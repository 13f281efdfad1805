// The class map in memory: three maps from class name to library path.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "persistentStorage/tDirectoryLock.h"
#include "persistentStorage/tFileSystemAdapter.h"
#include "tool/tCommandRequest.h"
#include "tool/tStatus.h"

namespace nDRAVI100 {

// One map: class name to library path. std::string compares its bytes as
// unsigned values and puts a shorter key before a longer one that begins
// with it, which is the order the map file is written in.
using tClassNameMap = std::map<std::string, std::string>;

// One entry of a map, as `list` hands it out.
struct tBinding {
  std::string className;
  std::string libraryPath;

  bool operator==(const tBinding&) const = default;
};

using tOS = tFileSystemAdapter::tOS;

// The three maps of a run and the settings that say where they are stored and
// when they are written. Scope 0 selects `uMap`, 1 `kMap` and 2 `sMap`; only
// `uMap` and `kMap` persist, in the map file of the run's bitness, and `sMap`
// lives for one run.
//
// Every operation takes the status word last, does nothing once it holds an
// error and merges its own codes by the word's rules.
class tClassMapStore {
 public:
  // Builds the store and, unless the word already holds an error, locks the
  // map directory and loads the map file of the chosen bitness into `uMap`
  // and `kMap`. A missing map file leaves them empty; a damaged one is
  // removed, leaves them empty and leaves the word as it was. A map file that
  // exists but cannot be read for another reason fails the run with its
  // error, so that the save cannot replace bindings it never saw.
  tClassMapStore(std::int32_t deferSave, std::int32_t is64Bit, tStatus& status);

  // Releases the maps and the lock. Writes nothing: changes that were not
  // saved are lost.
  ~tClassMapStore();

  tClassMapStore(const tClassMapStore&) = delete;
  tClassMapStore& operator=(const tClassMapStore&) = delete;

  // Returns the bitness flag given at construction.
  std::int32_t getIs64Bit() const { return is64Bit; }

  // Returns the library path bound to `className` in the scope's map, or a
  // shared empty string when the class is not bound (or the scope names no
  // map). The reference stays valid until that map next changes.
  const std::string& lookup(const std::string& className, tMapScope scope, tStatus& status);

  // Binds `className` to `libraryPath` in the scope's map. A class already
  // bound to a non-empty path keeps it and raises the warning 88360; a class
  // bound to the empty path keeps that too, silently. A scope that names no
  // map raises -50150 and changes nothing.
  void add(const std::string& className, const std::string& libraryPath, tMapScope scope,
           tStatus& status);

  // Removes the binding of `className` from the scope's map, if there is one.
  void deleteClass(const std::string& className, tMapScope scope, tStatus& status);

  // Removes every binding of the scope's map whose library path is exactly
  // `libraryPath`.
  void deleteLib(const std::string& libraryPath, tMapScope scope, tStatus& status);

  // Empties the scope's map.
  void reset(tMapScope scope, tStatus& status);

  // Returns, in ascending order, the class names of the scope's map that are
  // bound to exactly `libraryPath`.
  std::vector<std::string> lookupLib(const std::string& libraryPath, tMapScope scope,
                                     tStatus& status);

  // Returns a copy of every binding of the scope's map, in ascending order.
  std::vector<tBinding> list(tMapScope scope, tStatus& status);

  // Writes the map file of every listed kind (see saveMapFile).
  void saveAllMapFiles(tStatus& status);

  // Replaces the map file of `os` atomically with the maps in memory, or
  // removes it when those maps are all empty. On failure the code is in the
  // word and the map file holds what it held before, except when the rename
  // fails and the copy that stands in for it fails too.
  void saveMapFile(tOS os, tStatus& status);

  // Loads the map file of `os`; when it turns out damaged, removes it,
  // empties the maps it holds and sets the word back to 0.
  void loadOrResetMapFile(tOS os, tStatus& status);

  // What loadMapFile found.
  enum class tLoadResult { loaded, absent, damaged, failed };

  // Reads the map file of `os` into its maps. A file too short, with the
  // wrong magic or the wrong version is `damaged`; one that exists but cannot
  // be opened, read or closed is `failed`. Either way the code is in the word.
  tLoadResult loadMapFile(tOS os, tStatus& status);

  // Returns the path of the map file of `os` for this store's bitness, or an
  // empty string when the word holds an error.
  std::string mapFilePath(tOS os, tStatus& status) const;

 private:
  tClassNameMap* selectMap(tMapScope scope);
  void saveIfNotDeferred(tStatus& status);

  tClassNameMap uMap;
  tClassNameMap kMap;
  tClassNameMap sMap;
  std::int32_t deferSave;
  std::int32_t is64Bit;
  std::vector<tOS> osList;
  tDirectoryLock mapDirectoryLock;
};

}  // namespace nDRAVI100
