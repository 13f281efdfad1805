#include "classMap/tClassMapStore.h"

namespace nDRAVI100 {

namespace {

// Every miss of `lookup` returns this one string; nobody writes to it.
const std::string& sharedEmptyString() {
  static const std::string empty;
  return empty;
}

}  // namespace

tClassMapStore::tClassMapStore(std::int32_t deferSaveFlag, std::int32_t is64BitFlag,
                               tStatus& status)
    : deferSave(deferSaveFlag), is64Bit(is64BitFlag) {
  if (isError(status)) return;
  osList.push_back(tFileSystemAdapter::kLinux);
  // The lock must be held before the map file is read: a run that changed
  // the maps between our read and our save would otherwise lose its changes.
  mapDirectoryLock =
      tDirectoryLock(tFileSystemAdapter::getDRAVIMapDirectory(tFileSystemAdapter::kLinux, status));
  for (tOS os : osList) loadOrResetMapFile(os, status);
}

tClassMapStore::~tClassMapStore() {
  osList.clear();
  sMap.clear();
  kMap.clear();
  uMap.clear();
}

tClassNameMap* tClassMapStore::selectMap(tMapScope scope) {
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

void tClassMapStore::saveIfNotDeferred(tStatus& status) {
  if (deferSave == 0) saveAllMapFiles(status);
}

const std::string& tClassMapStore::lookup(const std::string& className, tMapScope scope,
                                          tStatus& status) {
  if (isError(status)) return sharedEmptyString();
  const tClassNameMap* map = selectMap(scope);
  if (map == nullptr) return sharedEmptyString();
  const auto found = map->find(className);
  return found == map->end() ? sharedEmptyString() : found->second;
}

void tClassMapStore::add(const std::string& className, const std::string& libraryPath,
                         tMapScope scope, tStatus& status) {
  if (isError(status)) return;
  const std::string bound = lookup(className, scope, status);
  if (!bound.empty()) {
    raiseWarning(status, nCode::kAlreadyBound);
    return;
  }
  tClassNameMap* map = selectMap(scope);
  if (map == nullptr) {
    raiseError(status, nCode::kBadAddScope);
  } else {
    // emplace never replaces: a class bound to the empty path stays so.
    map->emplace(className, libraryPath);
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
  // The argument may refer into the map being changed.
  const std::string wanted = libraryPath;
  if (tClassNameMap* map = selectMap(scope))
    std::erase_if(*map, [&](const auto& binding) { return binding.second == wanted; });
  saveIfNotDeferred(status);
}

void tClassMapStore::reset(tMapScope scope, tStatus& status) {
  if (isError(status)) return;
  if (tClassNameMap* map = selectMap(scope)) map->clear();
  saveIfNotDeferred(status);
}

std::vector<std::string> tClassMapStore::lookupLib(const std::string& libraryPath, tMapScope scope,
                                                   tStatus& status) {
  std::vector<std::string> classNames;
  if (isError(status)) return classNames;
  if (const tClassNameMap* map = selectMap(scope)) {
    for (const auto& [className, boundPath] : *map) {
      if (boundPath == libraryPath) classNames.push_back(className);
    }
  }
  return classNames;
}

std::vector<tBinding> tClassMapStore::list(tMapScope scope, tStatus& status) {
  std::vector<tBinding> bindings;
  if (isError(status)) return bindings;
  if (const tClassNameMap* map = selectMap(scope)) {
    for (const auto& [className, libraryPath] : *map) bindings.push_back({className, libraryPath});
  }
  return bindings;
}

}  // namespace nDRAVI100
