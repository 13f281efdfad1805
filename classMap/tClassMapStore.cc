#include "classMap/tClassMapStore.h"

#include <utility>

#include "persistentStorage/tRecoveryPlan.h"

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

tClassMapStore::tClassMapStore(std::int32_t deferSaveFlag, std::int32_t is64BitFlag, tMapNeed need,
                               tStatus& status, const std::string& root)
    : deferSave(deferSaveFlag), is64Bit(is64BitFlag) {
  if (isError(status)) return;
  osList.push_back(tFileSystemAdapter::kLinux);
  // One lookup for the whole run: a directory file that changed, or failed
  // to read, half way through would otherwise have the run lock one
  // directory and load or save another.
  const tMapPaths paths(root);
  std::string directoryFileSteeredBy;
  mapDirectory = tDirectory::open(
      tFileSystemAdapter::getDRAVIMapDirectory(tFileSystemAdapter::kLinux, status, paths.root(),
                                               &directoryFileSteeredBy),
      paths.root());
  // The lock must be held before the map file is read: a run that changed
  // the maps between our read and our save would otherwise lose its changes.
  // A map directory that another user could have led elsewhere is never
  // written: the run goes on without the lock, as a reader.
  if (directoryFileSteeredBy.empty() && mapDirectory.steeredBy().empty()) {
    mapLock = tMapLock(mapDirectory);
  }
  for (tOS os : osList) loadOrResetMapFile(os, need, status);
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

void tClassMapStore::loadMapsFor(tMapScope scope, tStatus& status) {
  if (persistentMapsLoaded || (scope != 0 && scope != 1)) return;
  for (tOS os : osList) mapFileLoad = loadMapFile(os, tMapNeed::bindings, status);
}

void tClassMapStore::noteChange(tMapScope scope) {
  if (scope == 0 || scope == 1) persistentMapsChanged = true;
}

std::string_view tClassMapStore::lookup(const std::string& className, tMapScope scope,
                                        tStatus& status) {
  loadMapsFor(scope, status);
  if (isError(status)) return sharedEmptyString();
  const tClassNameMap* map = selectMap(scope);
  if (map == nullptr) return sharedEmptyString();
  return map->find(className).value_or(sharedEmptyString());
}

void tClassMapStore::add(const std::string& className, const std::string& libraryPath,
                         tMapScope scope, tStatus& status) {
  if (isError(status)) return;
  loadMapsFor(scope, status);
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
    if (added) noteChange(scope);
  }
  saveIfNotDeferred(status);
}

bool tClassMapStore::addUnlessBound(std::string_view className, std::string_view libraryPath,
                                    tMapScope scope, tNameBytes given, tStatus& status) {
  if (isError(status)) return false;
  // A store that saves each change must know now whether there is one.
  if (deferSave == 0) {
    tStatus own = 0;
    add(std::string(className), std::string(libraryPath), scope, own);
    if (isError(own)) raiseError(status, -own);
    return false;
  }
  loadMapsFor(scope, status);
  if (isError(status)) return false;
  tClassNameMap* map = selectMap(scope);
  if (map == nullptr) {
    raiseError(status, nCode::kBadAddScope);
    return false;
  }
  if ((scope == 0 || scope == 1) && !silentAdds) {
    silentAdds = true;
    uBindsBefore = uMap.bindCount();
    kBindsBefore = kMap.bindCount();
  }
  map->addUnlessBound(className, libraryPath, given);
  return given == tNameBytes::lasting;
}

void tClassMapStore::expectAdds(std::size_t count, tMapScope scope, tStatus& status) {
  if (isError(status) || deferSave == 0) return;
  loadMapsFor(scope, status);
  if (isError(status)) return;
  if (tClassNameMap* map = selectMap(scope)) map->reserveMore(count);
}

void tClassMapStore::settleSilentAdds() {
  if (!silentAdds) return;
  silentAdds = false;
  if (uMap.bindCount() != uBindsBefore || kMap.bindCount() != kBindsBefore) {
    persistentMapsChanged = true;
  }
}

void tClassMapStore::deleteClass(const std::string& className, tMapScope scope, tStatus& status) {
  if (isError(status)) return;
  loadMapsFor(scope, status);
  if (isError(status)) return;
  tClassNameMap* map = selectMap(scope);
  if (map != nullptr && map->erase(className)) noteChange(scope);
  saveIfNotDeferred(status);
}

void tClassMapStore::deleteLib(const std::string& libraryPath, tMapScope scope, tStatus& status) {
  if (isError(status)) return;
  loadMapsFor(scope, status);
  if (isError(status)) return;
  // One walk removes every match: the bindings left behind are the same as
  // when the walk started over after each removal.
  tClassNameMap* map = selectMap(scope);
  if (map != nullptr && map->eraseBoundTo(libraryPath) > 0) noteChange(scope);
  saveIfNotDeferred(status);
}

void tClassMapStore::reset(tMapScope scope, tStatus& status) {
  if (isError(status)) return;
  loadMapsFor(scope, status);
  if (isError(status)) return;
  tClassNameMap* map = selectMap(scope);
  if (map != nullptr && !map->empty()) {
    map->clear();
    noteChange(scope);
  }
  saveIfNotDeferred(status);
}

std::vector<std::string> tClassMapStore::lookupLib(const std::string& libraryPath, tMapScope scope,
                                                   tStatus& status) {
  std::vector<std::string> classNames;
  loadMapsFor(scope, status);
  if (isError(status)) return classNames;
  if (const tClassNameMap* map = selectMap(scope)) {
    for (const auto& [className, boundPath] : *map) {
      if (boundPath == libraryPath) classNames.emplace_back(className);
    }
  }
  return classNames;
}

std::vector<tBinding> tClassMapStore::list(tMapScope scope, tStatus& status) {
  std::vector<tBinding> bindings;
  loadMapsFor(scope, status);
  if (isError(status)) return bindings;
  if (const tClassNameMap* map = selectMap(scope)) {
    bindings.reserve(map->size());
    for (const auto& [className, libraryPath] : *map) {
      bindings.push_back({std::string(className), std::string(libraryPath)});
    }
  }
  return bindings;
}

std::string tClassMapStore::mapFileNameOf(tOS) const {
  return tMapPaths::mapFileName(is64Bit != 0);
}

tClassNameMap& tClassMapStore::firstMapOf(tOS os) { return usesUKMaps(os) ? uMap : sMap; }

tClassNameMap* tClassMapStore::secondMapOf(tOS os) { return usesUKMaps(os) ? &kMap : nullptr; }

tMapFileRead tClassMapStore::loadMapFile(tOS os, tMapNeed need, tStatus& status) {
  if (isError(status) || hasNoMapFile(os)) return {};
  tClassNameMap& first = firstMapOf(os);
  tClassNameMap* second = secondMapOf(os);
  const bool onlyCheck = need == tMapNeed::validityOnly;
  persistentMapsLoaded = !onlyCheck;
  tMapFileReading how;
  how.sections = second != nullptr ? 2 : 1;
  how.first = onlyCheck ? nullptr : &first;
  how.second = onlyCheck ? nullptr : second;
  // A run without the lock reads while the holder may be copying into the
  // file; the holder itself finds a copy that no one is making any more.
  how.waitForCopy = !mapLock.held();
  tMapFileRead read = readMapFile(mapDirectory, mapFileNameOf(os), how);
  if (read.code != 0) raiseError(status, -read.code);
  return read;
}

void tClassMapStore::loadOrResetMapFile(tOS os, tMapNeed need, tStatus& status) {
  if (isError(status)) return;
  mapFileLoad = loadMapFile(os, need, status);
  // Only the holder of the lock may move files about; any other run sees
  // a damaged file as the error it is, and leaves the temporary file to
  // the holder.
  if (!mapLock.held()) return;
  if (mapFileLoad.state == tMapFileState::whole && !mapFileLoad.asWritten &&
      !persistentMapsLoaded) {
    // The save will mend the file, so it needs the bindings after all.
    mapFileLoad = loadMapFile(os, tMapNeed::bindings, status);
  }
  tClassNameMap& first = firstMapOf(os);
  tClassNameMap* second = secondMapOf(os);
  const tTemporaryFile temporary =
      examineTemporaryFile(mapDirectory, mapFileNameOf(os), mapFileLoad, first, second);
  const tRecoveryPlan plan = planRecovery(mapFileLoad.state, temporary.state);
  if (plan.map == tMapAction::keep && !plan.removeTemporaryFile) return;
  // The plan decides the run's fate from here: its own failures, or none.
  if (plan.map != tMapAction::keep) {
    clearStatus(status);
    persistentMapsLoaded = true;
  }
  carryOutRecovery(mapDirectory, mapFileNameOf(os), mapFileLoad, plan, temporary, first, second,
                   status);
  if (isError(status) || plan.map == tMapAction::keep) return;
  // The map file now holds the maps: the copy's content, or nothing at all
  // once the damaged file is aside.
  const bool empty = plan.map == tMapAction::setAside;
  damagedMapFileKept = empty;
  mapFileLoad = {};
  mapFileLoad.state = empty ? tMapFileState::absent : tMapFileState::whole;
  mapFileLoad.size = empty ? 0 : mapFileSize(first, second);
}

void tClassMapStore::saveAllMapFiles(tStatus& status) {
  if (isError(status)) return;
  for (tOS os : osList) saveMapFile(os, status);
}

bool tClassMapStore::mapFileNeedsSaving(tOS os) {
  // Maps never loaded were never changed; and a file that the holder of the
  // lock must mend was loaded whole.
  if (!persistentMapsLoaded) return false;
  settleSilentAdds();
  if (!mapFileLoad.asWritten) return persistentMapsChanged || mapLock.held();
  // Changes that undo each other (a delete and an add of the same binding,
  // as every reinstall makes) leave nothing to write either.
  return persistentMapsChanged && !mapFileHolds(mapDirectory, mapFileNameOf(os), mapFileLoad,
                                                firstMapOf(os), secondMapOf(os));
}

void tClassMapStore::saveMapFile(tOS os, tStatus& status) {
  if (isError(status) || hasNoMapFile(os) || !mapFileNeedsSaving(os)) return;
  if (!mapLock.held()) return raiseError(status, nCode::kCannotOpen);
  tClassNameMap& first = firstMapOf(os);
  tClassNameMap* second = secondMapOf(os);
  saveMapFileAt(mapDirectory, mapFileNameOf(os), first, second, status);
  if (isError(status)) return;
  // The file holds the maps now: saving them again would change nothing.
  // Only a store that saves after each change saves again; for it, the size
  // lets the next save tell a change apart without reading the file.
  const bool empty = first.empty() && (second == nullptr || second->empty());
  mapFileLoad = {};
  mapFileLoad.state = empty ? tMapFileState::absent : tMapFileState::whole;
  mapFileLoad.size = empty || deferSave != 0 ? 0 : mapFileSize(first, second);
  persistentMapsChanged = false;
}

}  // namespace nDRAVI100
