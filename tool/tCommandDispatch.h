// Carrying out one parsed command against the class map store.
#pragma once

#include "classMap/tClassMapStore.h"
#include "classMap/tCommandRequest.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// Carries out `request` on `store`: a File request runs the whole command
// file, a change becomes one store operation. Queries (lookup, lookuplib,
// list) change nothing and show nothing, so their answers are not computed.
// Does nothing for a None request or when the word holds an error; a scope
// that names no map raises nCode::kBadDispatchScope and calls
// nothing.
void dispatchCommand(const tCommandRequest& request, tClassMapStore& store, tStatus& status);

// Calls the store operation of a changing request's kind with `scope`, after
// replacing the first "*" of the library name with "64" or "32" by the
// store's bitness. Raises nCode::kBadDispatchScope for a scope other than 0, 1 or 2.
void runStoreCommand(const tCommandRequest& request, tClassMapStore& store, std::int32_t scope,
                     tStatus& status);

// Carries out one line of a command file as dispatchCommand does a change,
// for a caller that clears each line's warning: an add raises none, and
// whether its class was bound already is left for the map to settle on the
// next search, walk or save (see tClassMapStore::addUnlessBound).
void dispatchFileLine(const tCommandRequest& request, tClassMapStore& store, tStatus& status);

// Carries out a command file's add line, "<scope>,add,<className>,<libraryName>",
// as dispatchFileLine carries out its request, from views of the line that
// the map may keep as they stand (tNameBytes::lasting). Returns true when it
// did: the line's bytes must then stay until the program ends.
bool dispatchFileAdd(std::string_view className, std::string_view libraryName, std::int32_t scope,
                     tClassMapStore& store, tStatus& status);

// Returns what carrying out `request` needs of the persistent maps: their
// bindings for a command file or for a change to scope 0 or 1; for anything
// else (a query, a command on scope 2, a request that fails before the
// store) only whether the map file can be read, which a run checks without
// building the maps.
tMapNeed persistentMapNeed(const tCommandRequest& request, tStatus& status);

}  // namespace nDRAVI100
