#include "sync/tSyncProgram.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <set>

#include "classMap/tClassMapStore.h"
#include "classMap/tCommandRequest.h"
#include "classMap/tMapScope.h"
#include "cli/tLongOptions.h"
#include "os/tDirectory.h"
#include "os/tRegularFile.h"
#include "persistentStorage/tMapPaths.h"
#include "persistentStorage/tReplacementFile.h"
#include "sync/tDeclarations.h"
#include "sync/tSyncPlan.h"

namespace nDRAVI100 {

namespace {

void put(std::FILE* stream, const std::string& text) {
  // Messages go out on a best-effort basis; the exit status carries the outcome.
  (void)std::fwrite(text.data(), 1, text.size(), stream);
}

// Reads the record `name` in `directory`, never through a link; a missing
// one records nothing.
bool readRecord(const tDirectory& directory, const std::string& name, tRecord& record,
                std::string& error) {
  record.clear();
  const std::string path = directory.pathOf(name);
  const tRegularFile file = directory.openFile(name, O_RDONLY);
  if (!file && !file.notRegular() && isMissingFileError(file.error())) return true;
  if (!file) {
    error = path + ": " + (file.notRegular() ? "not a regular file" : std::strerror(file.error()));
    return false;
  }
  std::string bytes;
  if (const int failed = file.readRest(bytes); failed != 0) {
    error = path + ": " + std::strerror(failed);
    return false;
  }
  if (!parseRecord(bytes, record, error)) {
    error.insert(0, path + ": ");
    return false;
  }
  return true;
}

std::string failure(const std::string& what, tStatus status) {
  return "zembril-sync: " + what + ": status " + std::to_string(status) +
         "; 'zembril-dump --explain " + std::to_string(status) + "' says what it means\n";
}

// Replaces the record `name` in `directory` through a synced temporary
// file, as a map file is replaced, so that it is always the old record or
// the new one, whole. An empty record is removed, so that a map directory
// the package made can go with it once it holds no binding.
bool writeRecord(const tDirectory& directory, const std::string& name, const tRecord& record,
                 std::FILE* err) {
  const std::string path = directory.pathOf(name);
  if (directory.descriptor() < 0) {
    // The directory is the map directory, which a run may find missing.
    put(err, "zembril-sync: the map directory " + directory.path() + ": " +
                 std::strerror(directory.error()) + "\n");
    return false;
  }
  if (record.empty()) {
    if (::unlinkat(directory.descriptor(), name.c_str(), 0) != 0 && errno != ENOENT) {
      put(err, "zembril-sync: cannot remove " + path + ": " + std::strerror(errno) + "\n");
      return false;
    }
    directory.sync();
    return true;
  }
  tStatus status = 0;
  tReplacementFile replacement(directory, name, status);
  if (!isError(status)) replacement.write(formatRecord(record), status);
  replacement.finishWriting(status);
  replacement.commit(status);
  if (isError(status)) {
    put(err, failure("cannot write " + path, status));
    return false;
  }
  return true;
}

// What the administrator hands back to the declarations on this run.
struct tHandBack {
  bool all = false;
  std::set<std::string> classes;
  std::set<std::string> found;  // the classes that were held unbound
};

// Brings one map file in line with `all`; returns false when it could not.
bool syncMapFile(const tMapPaths& paths, bool x64, const std::vector<tDeclaration>& all,
                 const std::set<std::string>& held, tHandBack& handBack, std::FILE* err) {
  const std::string mapName = x64 ? "64-bit" : "32-bit";
  std::vector<tDeclaration> declared;
  for (const tDeclaration& declaration : all) {
    if (declaration.x64 != x64) continue;
    declared.push_back(declaration);
    declared.back().library = substituteBitness(declaration.library, x64 ? 1 : 0);
  }
  // The record lives beside the map file it describes, in the map
  // directory: it lasts as long as the map does, whatever becomes of the
  // zembril package, and a map directory that the directory file moves
  // elsewhere starts with none, as its map does.
  const std::string name = tMapPaths::recordName(x64);
  const std::string legacyName = tMapPaths::legacyRecordName(x64);
  const tDirectory legacyDirectory = tDirectory::open(paths.legacyRecordsDirectory(), paths.root());
  std::string error;
  tRecord recorded;
  tRecord legacy;
  // Nothing declared and nothing recorded: the map file is no business of ours.
  if (declared.empty() &&
      readRecord(tDirectory::open(paths.mapDirectory(), paths.root()), name, recorded, error) &&
      recorded.empty() && readRecord(legacyDirectory, legacyName, legacy, error) &&
      legacy.empty()) {
    return true;
  }

  tStatus status = 0;
  tClassMapStore store(kDeferSave, x64 ? 1 : 0, tMapNeed::bindings, status, paths.root());
  // The map directory that the store found, opened and locked.
  const tDirectory& directory = store.directory();
  const std::string mapDirectory = directory.path();
  if (isError(status)) {
    put(err, failure("the " + mapName + " map file in " + mapDirectory, status));
    return false;
  }
  // Read again under the lock: another sync may have changed it meanwhile.
  error.clear();
  if (!readRecord(directory, name, recorded, error) ||
      !readRecord(legacyDirectory, legacyName, legacy, error)) {
    put(err, "zembril-sync: " + error + "\n");
    return false;
  }
  tRecord known = recorded;
  known.insert(known.end(), legacy.begin(), legacy.end());
  std::erase_if(known, [&](const tRecordedBinding& entry) {
    if (entry.state != tRecordState::unbound) return false;
    if (!handBack.all && !handBack.classes.contains(entry.className)) return false;
    handBack.found.insert(entry.className);
    put(err, "zembril-sync: " + mapName + " " + letterOfScope(entry.scope) +
                 " map: " + entry.className + " is handed back to the declarations\n");
    return true;
  });
  std::sort(known.begin(), known.end());
  // A class bound to the empty path reads like an unbound one; ask for those once a scope.
  std::array<std::optional<std::set<std::string>>, 2> emptyBound;
  const tBoundLibrary bound = [&](tMapScope scope, const std::string& className) {
    const std::string_view library = store.lookup(className, scope, status);
    if (!library.empty()) return std::optional<std::string>(library);
    auto& empty = emptyBound[static_cast<std::size_t>(scope)];
    if (!empty) {
      const std::vector<std::string> classes = store.lookupLib("", scope, status);
      empty.emplace(classes.begin(), classes.end());
    }
    return empty->contains(className) ? std::optional<std::string>("") : std::nullopt;
  };
  const tSyncPlan plan = planSync(declared, known, held, bound, mapName);
  for (const std::string& notice : plan.notices) put(err, "zembril-sync: " + notice + "\n");

  if (!plan.steps.empty()) {
    if (plan.before != recorded && !writeRecord(directory, name, plan.before, err)) return false;
    for (const tSyncStep& step : plan.steps) {
      if (step.bind) {
        store.add(step.className, step.library, step.scope, status);
      } else {
        store.deleteClass(step.className, step.scope, status);
      }
    }
    store.saveAllMapFiles(status);
    if (isError(status)) {
      put(err, failure("the " + mapName + " map file in " + mapDirectory, status));
      return false;
    }
    recorded = plan.before;
  }
  if (plan.record != recorded && !writeRecord(directory, name, plan.record, err)) return false;
  // The old record's lines are in the new one now.
  if (legacyDirectory.descriptor() >= 0 &&
      ::unlinkat(legacyDirectory.descriptor(), legacyName.c_str(), 0) != 0 && errno != ENOENT) {
    put(err, "zembril-sync: cannot remove " + legacyDirectory.pathOf(legacyName) + ": " +
                 std::strerror(errno) + "\n");
    return false;
  }
  return true;
}

constexpr const char* kHelp =
    "Usage: zembril-sync [--root=DIR] [--hand-back=CLASS]... [--hand-back-all]\n"
    "Bring zembril's class map in line with the bindings that installed packages\n"
    "declare in /usr/share/zembril/declarations. The zembril package runs it from\n"
    "a dpkg trigger whenever a package adds or removes a declaration.\n"
    "\n"
    "      --root=DIR         the class map and the declarations of the system image in DIR\n"
    "      --hand-back=CLASS  let declarations bind CLASS again, which was unbound by hand\n"
    "      --hand-back-all    the same for every class that was unbound by hand\n"
    "      --help             print this help and exit\n"
    "      --version          print the version and exit\n"
    "\n"
    "Exit status: 0 done, also when a declaration that cannot be read holds its\n"
    "bindings; 1 a map file or its record could not be read or written; 2 a usage error.\n"
    "\n"
    "Full documentation: man zembril-sync\n";

int usageError(const std::string& reason, std::FILE* err) {
  put(err, "zembril-sync: " + reason + "; try 'zembril-sync --help' for more information\n");
  return kSyncUsage;
}

}  // namespace

int runSync(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err) {
  enum : int { kHandBack = 256, kHandBackAll };
  static constexpr tLongOption kOwnOptions[] = {{"hand-back", true, kHandBack},
                                                {"hand-back-all", false, kHandBackAll}};
  const std::vector<std::string> rest(
      arguments.begin() + std::min<std::ptrdiff_t>(1, std::ssize(arguments)), arguments.end());
  std::string problem;
  bool help = false;
  bool version = false;
  std::string root;
  tHandBack handBack;
  readLongOptions(rest, kOwnOptions, [&](const tArgument& argument) {
    // The first mistake is the one reported; --help and --version still win.
    const auto fail = [&](const std::string& message) {
      if (problem.empty()) problem = message;
    };
    if (argument.kind == tArgument::tKind::operand) {
      return fail("extra operand '" + argument.value + "'");
    }
    if (argument.kind != tArgument::tKind::option) return fail(misuseOf(argument));
    switch (argument.code) {
      case kRootOption:
        root = argument.value;
        if (!root.starts_with('/')) fail("--root needs an absolute directory, not '" + root + "'");
        break;
      case kHandBack:
        handBack.classes.insert(argument.value);
        break;
      case kHandBackAll:
        handBack.all = true;
        break;
      case kHelpOption:
        help = help || !version;
        break;
      case kVersionOption:
        version = version || !help;
        break;
      default:
        break;
    }
  });
  // --help and --version answer whatever else the line says, as in GNU tools.
  if (help) {
    put(out, kHelp);
    return kSyncDone;
  }
  if (version) {
    put(out, "zembril-sync (zembril) " ZEMBRIL_VERSION "\n");
    return kSyncDone;
  }
  if (!problem.empty()) return usageError(problem, err);
  if (const std::string missing = root.empty() ? std::string() : rootProblem(root);
      !missing.empty()) {
    // A mistyped image would sync nothing and say nothing.
    put(err, "zembril-sync: " + root + ": " + missing + "\n");
    return kSyncUsage;
  }
  const tMapPaths paths = tMapPaths::resolve(root);

  std::vector<tDeclaration> declarations;
  std::vector<tHeldDeclaration> held;
  std::string error;
  if (!readDeclarations(paths.declarationsDirectory(), paths.root(), declarations, held, error)) {
    put(err, "zembril-sync: " + error + "; no map file was changed\n");
    return kSyncFailed;
  }
  std::set<std::string> heldPackages;
  for (const tHeldDeclaration& declaration : held) {
    put(err, "zembril-sync: " + declaration.error +
                 "; the bindings it made stay as they are until it is fixed and zembril-sync "
                 "runs again\n");
    heldPackages.insert(declaration.package);
  }
  bool done = true;
  for (const bool x64 : {false, true}) {
    done = syncMapFile(paths, x64, declarations, heldPackages, handBack, err) && done;
  }
  for (const std::string& className : handBack.classes) {
    if (done && !handBack.found.contains(className)) {
      put(err, "zembril-sync: " + className + " is not held unbound: nothing to hand back\n");
    }
  }
  return done ? kSyncDone : kSyncFailed;
}

}  // namespace nDRAVI100
