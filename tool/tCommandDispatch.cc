#include "tool/tCommandDispatch.h"

#include "tool/tCommandFile.h"

namespace nDRAVI100 {

namespace {

bool isMapScope(std::int32_t scope) { return scope >= 0 && scope <= 2; }

// What an add does when its class is bound already.
enum class tBoundAdd {
  warns,   // raises nCode::kAlreadyBound
  silent,  // raises nothing, and is settled later
};

void runChange(const tCommandRequest& request, tClassMapStore& store, std::int32_t scope,
               tBoundAdd boundAdd, tStatus& status) {
  if (isError(status)) return;
  if (!isMapScope(scope)) {
    raiseError(status, nCode::kBadDispatchScope);
    return;
  }
  // Most library names hold no "*": they are used as they are, not copied.
  const std::string& libraryName = request.getLibraryName(status);
  const bool substitutes = namesBitness(libraryName);
  const std::string substituted =
      substitutes ? substituteBitness(libraryName, store.getIs64Bit()) : std::string();
  const std::string& libraryPath = substitutes ? substituted : libraryName;
  const std::string& className = request.getClassName(status);
  switch (request.getKind(status)) {
    using enum tCommandKind;
    case Add:
      if (boundAdd == tBoundAdd::silent) {
        store.addUnlessBound(className, libraryPath, scope, tNameBytes::copied, status);
      } else {
        store.add(className, libraryPath, scope, status);
      }
      break;
    case Delete:
      store.deleteClass(className, scope, status);
      break;
    case DeleteLib:
      store.deleteLib(libraryPath, scope, status);
      break;
    case Reset:
      store.reset(scope, status);
      break;
    default:
      // Lookup, LookupLib and List: the tool shows no answer and a query
      // raises no code, so nothing is asked; a list of a large map would
      // copy every binding for nobody.
      break;
  }
}

}  // namespace

tMapNeed persistentMapNeed(const tCommandRequest& request, tStatus& status) {
  switch (request.getKind(status)) {
    using enum tCommandKind;
    case File:
      return tMapNeed::bindings;
    case Add:
    case Delete:
    case DeleteLib:
    case Reset: {
      const std::int32_t scope = request.getScope(status);
      return scope == 0 || scope == 1 ? tMapNeed::bindings : tMapNeed::validityOnly;
    }
    default:
      return tMapNeed::validityOnly;
  }
}

void dispatchCommand(const tCommandRequest& request, tClassMapStore& store, tStatus& status) {
  if (isError(status)) return;
  const tCommandKind kind = request.getKind(status);
  if (kind == tCommandKind::None) return;
  if (kind == tCommandKind::File) {
    runCommandFile(request.getFilePath(status), store, status);
    return;
  }
  runStoreCommand(request, store, request.getScope(status), status);
}

void runStoreCommand(const tCommandRequest& request, tClassMapStore& store, std::int32_t scope,
                     tStatus& status) {
  runChange(request, store, scope, tBoundAdd::warns, status);
}

void dispatchFileLine(const tCommandRequest& request, tClassMapStore& store, tStatus& status) {
  if (isError(status) || request.getKind(status) == tCommandKind::None) return;
  runChange(request, store, request.getScope(status), tBoundAdd::silent, status);
}

bool dispatchFileAdd(std::string_view className, std::string_view libraryName, std::int32_t scope,
                     tClassMapStore& store, tStatus& status) {
  if (isError(status)) return false;
  if (!isMapScope(scope)) {
    raiseError(status, nCode::kBadDispatchScope);
    return false;
  }
  if (libraryName.find('*') == std::string_view::npos) {
    return store.addUnlessBound(className, libraryName, scope, tNameBytes::lasting, status);
  }
  const std::string substituted = substituteBitness(std::string(libraryName), store.getIs64Bit());
  store.addUnlessBound(className, substituted, scope, tNameBytes::copied, status);
  return false;
}

}  // namespace nDRAVI100
