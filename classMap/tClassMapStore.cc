#include "classMap/tClassMapStore.h"

#include <utility>

namespace nDRAVI100 {

namespace {

// Every miss of `lookup` returns this one string; nobody writes to it.
const std::string& sharedEmptyString() {
  static const std::string empty;
  return empty;
}

// Kinds 1 and 3 have no map file: loading and saving them does nothing.
bool hasNoMapFile(tOS os) {
  return os == tFileSystemAdapter::kOS1 || os == tFileSystemAdapter::kOS3;
}

}  // namespace

tClassMapStore::tClassMapStore(std::int32_t deferSaveFlag, std::int32_t is64BitFlag,
                               tStatus& status)
    : deferSave(deferSaveFlag), is64Bit(is64BitFlag) {
  if (isError(status)) return;
  osList.push_back(tFileSystemAdapter::kLinux);
  // One lookup for the whole run: a directory file that changed, or failed
  // to read, half way through would otherwise have the run lock one
  // directory and load or save another.
  mapDirectory = tFileSystemAdapter::getDRAVIMapDirectory(tFileSystemAdapter::kLinux, status);
  // The lock must be held before the map file is read: a run that changed
  // the maps between our read and our save would otherwise lose its changes.
  mapLock = tMapLock(mapDirectory);
  for (tOS os : osList) loadOrResetMapFile(os, status);
}

tClassMapStore::~tClassMapStore() {
  osList.clear();
  sMap.clear();
  kMap.clear();
  uMap.clear();
}

const tClassNameMap* tClassMapStore::selectMap(tMapScope scope) const {
  switch (scope) {
    case 0:
      return &uMap;
    case 1:
      return &kMap;
    case 2:
      return &sMap;
    default:
      return nullptr;
  }
}

tClassNameMap* tClassMapStore::selectMap(tMapScope scope) {
  return const_cast<tClassNameMap*>(std::as_const(*this).selectMap(scope));
}

void tClassMapStore::saveIfNotDeferred(tStatus& status) {
  if (deferSave == 0) saveAllMapFiles(status);
}

std::string_view tClassMapStore::lookup(const std::string& className, tMapScope scope,
                                        tStatus& status) const {
  if (isError(status)) return sharedEmptyString();
  const tClassNameMap* map = selectMap(scope);
  if (map == nullptr) return sharedEmptyString();
  return map->find(className).value_or(sharedEmptyString());
}

void tClassMapStore::add(const std::string& className, const std::string& libraryPath,
                         tMapScope scope, tStatus& status) {
  if (isError(status)) return;
  tClassNameMap* map = selectMap(scope);
  if (map == nullptr) {
    raiseError(status, nCode::kBadAddScope);
  } else {
    // One search both finds a binding and places a new one. tryAdd never
    // replaces: a class bound to the empty path stays so, silently.
    const auto [boundPath, added] = map->tryAdd(className, libraryPath);
    if (!added && !boundPath.empty()) {
      raiseWarning(status, nCode::kAlreadyBound);
      return;
    }
  }
  saveIfNotDeferred(status);
}

void tClassMapStore::deleteClass(const std::string& className, tMapScope scope, tStatus& status) {
  if (isError(status)) return;
  if (tClassNameMap* map = selectMap(scope)) map->erase(className);
  saveIfNotDeferred(status);
}

void tClassMapStore::deleteLib(const std::string& libraryPath, tMapScope scope, tStatus& status) {
  if (isError(status)) return;
  // One walk removes every match: the bindings left behind are the same as
  // when the walk started over after each removal.
  if (tClassNameMap* map = selectMap(scope)) map->eraseBoundTo(libraryPath);
  saveIfNotDeferred(status);
}

void tClassMapStore::reset(tMapScope scope, tStatus& status) {
  if (isError(status)) return;
  if (tClassNameMap* map = selectMap(scope)) map->clear();
  saveIfNotDeferred(status);
}

std::vector<std::string> tClassMapStore::lookupLib(const std::string& libraryPath, tMapScope scope,
                                                   tStatus& status) const {
  std::vector<std::string> classNames;
  if (isError(status)) return classNames;
  if (const tClassNameMap* map = selectMap(scope)) {
    for (const auto& [className, boundPath] : *map) {
      if (boundPath == libraryPath) classNames.emplace_back(className);
    }
  }
  return classNames;
}

std::vector<tBinding> tClassMapStore::list(tMapScope scope, tStatus& status) const {
  std::vector<tBinding> bindings;
  if (isError(status)) return bindings;
  if (const tClassNameMap* map = selectMap(scope)) {
    bindings.reserve(map->size());
    for (const auto& [className, libraryPath] : *map) {
      bindings.push_back({std::string(className), std::string(libraryPath)});
    }
  }
  return bindings;
}

std::string tClassMapStore::mapFilePath(tOS) const {
  return mapFilePathIn(mapDirectory, is64Bit != 0);
}

tClassNameMap& tClassMapStore::firstMapOf(tOS os) { return usesUKMaps(os) ? uMap : sMap; }

tClassNameMap* tClassMapStore::secondMapOf(tOS os) { return usesUKMaps(os) ? &kMap : nullptr; }

tMapFileState tClassMapStore::loadMapFile(tOS os, tStatus& status) {
  if (isError(status) || hasNoMapFile(os)) return tMapFileState::absent;
  return loadMapFileAt(mapFilePath(os), firstMapOf(os), secondMapOf(os), status);
}

void tClassMapStore::loadOrResetMapFile(tOS os, tStatus& status) {
  if (isError(status)) return;
  if (loadMapFile(os, status) != tMapFileState::damaged) return;
  // A damaged file costs the run its stored bindings, not its success.
  (void)recoverDamagedMapFile(mapFilePath(os), firstMapOf(os), secondMapOf(os));
  status = 0;
}

void tClassMapStore::saveAllMapFiles(tStatus& status) {
  if (isError(status)) return;
  for (tOS os : osList) saveMapFile(os, status);
}

void tClassMapStore::saveMapFile(tOS os, tStatus& status) {
  if (isError(status) || hasNoMapFile(os)) return;
  saveMapFileAt(mapFilePath(os), firstMapOf(os), secondMapOf(os), status);
}

}  // namespace nDRAVI100
