#include "sync/tSyncProgram.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <set>

#include "classMap/tClassMapStore.h"
#include "classMap/tCommandRequest.h"
#include "classMap/tMapScope.h"
#include "cli/tFailure.h"
#include "cli/tLongOptions.h"
#include "cli/tProgramVoice.h"
#include "cli/tTextEscaping.h"
#include "os/tDirectory.h"
#include "os/tRegularFile.h"
#include "os/tRoot.h"
#include "persistentStorage/tMapPaths.h"
#include "persistentStorage/tReplacementFile.h"
#include "sync/tDeclarations.h"
#include "sync/tSyncPlan.h"

namespace nDRAVI100 {

namespace {

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

const tProgramVoice& syncVoice() {
  static const tProgramVoice voice{"zembril-sync", ZEMBRIL_VERSION, kHelp, ""};
  return voice;
}

// Writes a message to `err` with every control byte escaped as zembril-dump
// escapes it: class names, library paths, package names and the map
// directory come from files that packages and users write, and under dpkg
// the error stream is the administrator's terminal. A backslash stays as
// it is, since a declaration's faults are quoted already escaped
// (quoteBytes), and escaping them again would double every "\x".
void tell(const std::string& message, std::FILE* err) {
  report(syncVoice(), escapeControls(message), err);
}

// Reads the record `name` in `directory`, never through a link; a missing
// one records nothing.
tResult<tRecord> readRecord(const tDirectory& directory, const std::string& name) {
  const std::string path = directory.pathOf(name);
  const tRegularFile file = directory.openFile(name, O_RDONLY);
  if (!file && !file.notRegular() && isMissingFileError(file.error())) return tRecord();
  const tResult<std::string> bytes = readWholeFile(file, path);
  if (!bytes) return bytes.failure();
  tResult<tRecord> record = parseRecord(*bytes);
  if (!record) return record.failure().after(path + ": ");
  return record;
}

// A failure of the core, which says it with its status word.
tFailure statusFailure(const std::string& what, tStatus status) {
  return tFailure(what + ": status " + std::to_string(status) + "; 'zembril-dump --explain " +
                  std::to_string(status) + "' says what it means");
}

// Removes `name` from `directory`, where nothing there is nothing to remove.
tResult<> removeFile(const tDirectory& directory, const std::string& name) {
  if (directory.descriptor() >= 0 && ::unlinkat(directory.descriptor(), name.c_str(), 0) != 0 &&
      errno != ENOENT) {
    return tFailure::ofErrno(errno).after("cannot remove " + directory.pathOf(name) + ": ");
  }
  return {};
}

// Replaces the record `name` in `directory` through a synced temporary
// file, as a map file is replaced, so that it is always the old record or
// the new one, whole. An empty record is removed, so that a map directory
// the package made can go with it once it holds no binding.
tResult<> writeRecord(const tDirectory& directory, const std::string& name, const tRecord& record) {
  if (directory.descriptor() < 0) {
    // The directory is the map directory, which a run may find missing.
    return tFailure::ofErrno(directory.error())
        .after("the map directory " + directory.path() + ": ");
  }
  if (record.empty()) {
    if (tResult<> removed = removeFile(directory, name); !removed) return removed;
    directory.sync();
    return {};
  }
  tStatus status = 0;
  tReplacementFile replacement(directory, name, status);
  if (!isError(status)) replacement.write(formatRecord(record), status);
  replacement.finishWriting(status);
  replacement.commit(status);
  if (isError(status)) return statusFailure("cannot write " + directory.pathOf(name), status);
  return {};
}

// What the administrator hands back to the declarations on this run.
struct tHandBack {
  bool all = false;
  std::set<std::string> classes;
  std::set<std::string> found;  // the classes that were held unbound
};

// The held declarers' names.
std::set<std::string> heldPackagesOf(const tDeclared& declared) {
  std::set<std::string> held;
  for (const tHeldDeclaration& declaration : declared.held) held.insert(declaration.package);
  return held;
}

// Brings one map file in line with the declarations, or fails, saying why.
// `seen` is what the declaration directory held when the run began; the
// file is synced with what it holds once the map's lock is taken. Notices
// go to `err` as they arise.
tResult<> syncMapFile(const tMapPaths& paths, bool x64, const tDeclared& seen, tHandBack& handBack,
                      std::FILE* err) {
  const std::string mapName = x64 ? "64-bit" : "32-bit";
  const auto declaredIn = [&](const tDeclared& all) {
    std::vector<tDeclaration> declared;
    for (const tDeclaration& declaration : all.bindings) {
      if (declaration.x64 != x64) continue;
      declared.push_back(declaration);
      declared.back().library = substituteBitness(declaration.library, x64 ? 1 : 0);
    }
    return declared;
  };
  // The record lives beside the map file it describes, in the map
  // directory: it lasts as long as the map does, whatever becomes of the
  // zembril package, and a map directory that the directory file moves
  // elsewhere starts with none, as its map does.
  const std::string name = tMapPaths::recordName(x64);
  const std::string legacyName = tMapPaths::legacyRecordName(x64);
  const tDirectory legacyDirectory = tDirectory::open(paths.legacyRecordsDirectory(), paths.root());
  const auto holdsNothing = [](const tResult<tRecord>& record) {
    return record && record->empty();
  };
  // Nothing declared and nothing recorded: the map file is no business of
  // ours. A declaration that arrives meanwhile has a run of its own coming.
  if (declaredIn(seen).empty() &&
      holdsNothing(readRecord(tDirectory::open(paths.mapDirectory(), paths.root()), name)) &&
      holdsNothing(readRecord(legacyDirectory, legacyName))) {
    return {};
  }

  tStatus status = 0;
  tClassMapStore store(kDeferSave, x64 ? 1 : 0, tMapNeed::bindings, status, paths.root());
  // The map directory that the store found, opened and locked.
  const tDirectory& directory = store.directory();
  const std::string mapDirectory = directory.path();
  const std::string mapFile = "the " + mapName + " map file in " + mapDirectory;
  if (isError(status)) return statusFailure(mapFile, status);
  // Read again under the lock: another sync may have changed the
  // declarations and the record meanwhile, and what it found gone must not
  // be bound again from what this run saw before it waited.
  const tResult<tDeclared> now = readDeclarations(paths.declarationsDirectory(), paths.root());
  if (!now) return now.failure().after(mapFile + " was not changed: ");
  const std::vector<tDeclaration> declared = declaredIn(*now);
  const tResult<tRecord> readRecorded = readRecord(directory, name);
  if (!readRecorded) return readRecorded.failure();
  const tResult<tRecord> legacy = readRecord(legacyDirectory, legacyName);
  if (!legacy) return legacy.failure();
  tRecord recorded = *readRecorded;
  tRecord known = recorded;
  known.insert(known.end(), legacy->begin(), legacy->end());
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
  // The bindings of a damaged map file that the store has just kept aside
  // were lost to the damage, not unbound by an administrator: the
  // declarations bind theirs again. Marks of classes an administrator
  // unbound before stay.
  const bool keptAside = store.keptDamagedMapFileAside();
  if (keptAside) {
    tell(mapFile +
             " was damaged and is kept aside for salvage (see zembril-dump --check); "
             "the declarations bind their classes again",
         err);
  }
  std::erase_if(known, [&](const tRecordedBinding& entry) {
    const bool handedBack = handBack.all || handBack.classes.contains(entry.className);
    if (entry.state == tRecordState::unbound) {
      if (!handedBack) return false;
    } else if (entry.state == tRecordState::bound) {
      // A class handed back on the run that first finds it unbound has no
      // mark yet: its line still says that the declarations bound it.
      if (!(handedBack || keptAside) || bound(entry.scope, entry.className)) return false;
    } else {
      return false;
    }
    if (handedBack) {
      handBack.found.insert(entry.className);
      tell(mapName + " " + letterOfScope(entry.scope) + " map: " + entry.className +
               " is handed back to the declarations",
           err);
    }
    return true;
  });
  std::sort(known.begin(), known.end());
  known.erase(std::unique(known.begin(), known.end()), known.end());
  const tSyncPlan plan = planSync(declared, known, heldPackagesOf(*now), bound, mapName);
  for (const std::string& notice : plan.notices) tell(notice, err);

  if (!plan.steps.empty()) {
    if (plan.before != recorded) {
      if (tResult<> written = writeRecord(directory, name, plan.before); !written) return written;
    }
    for (const tSyncStep& step : plan.steps) {
      if (step.bind) {
        store.add(step.className, step.library, step.scope, status);
      } else {
        store.deleteClass(step.className, step.scope, status);
      }
    }
    store.saveAllMapFiles(status);
    if (isError(status)) return statusFailure(mapFile, status);
    recorded = plan.before;
  }
  if (plan.record != recorded) {
    if (tResult<> written = writeRecord(directory, name, plan.record); !written) return written;
  }
  // Said on every run until the library comes or the declaration goes.
  const tLibraryFound found = [&paths](const std::string& library) {
    struct stat kind {};
    return statInRoot(paths.root(), paths.root() + library, kind) == 0 && S_ISREG(kind.st_mode);
  };
  for (const std::string& notice : missingLibraryNotices(plan.record, found, mapName)) {
    tell(notice, err);
  }
  // The old record's lines are in the new one now.
  return removeFile(legacyDirectory, legacyName);
}

}  // namespace

int runSync(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err) {
  enum : int { kHandBack = 256, kHandBackAll };
  static constexpr tLongOption kOwnOptions[] = {{"hand-back", true, kHandBack},
                                                {"hand-back-all", false, kHandBackAll}};
  std::string problem;
  std::string root;
  tHandBack handBack;
  const tAnswer asked = readLongOptions(arguments, kOwnOptions, [&](const tArgument& argument) {
    // The first mistake is the one reported.
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
        if (const std::string misuse = rootMisuse(root); !misuse.empty()) fail(misuse);
        break;
      case kHandBack:
        handBack.classes.insert(argument.value);
        break;
      case kHandBackAll:
        handBack.all = true;
        break;
      default:
        break;
    }
  });
  if (asked != tAnswer::none) {
    answer(syncVoice(), asked, out);
    return kSyncDone;
  }
  if (!problem.empty()) {
    reportUsageError(syncVoice(), problem, err);
    return kSyncUsage;
  }
  if (const std::string missing = root.empty() ? std::string() : rootProblem(root);
      !missing.empty()) {
    // A mistyped image would sync nothing and say nothing.
    tell(root + ": " + missing, err);
    return kSyncUsage;
  }
  const tMapPaths paths = tMapPaths::resolve(root);

  const tResult<tDeclared> declared = readDeclarations(paths.declarationsDirectory(), paths.root());
  if (!declared) {
    tell(declared.failure().message() + "; no map file was changed", err);
    return kSyncFailed;
  }
  // Whoever put such a file there meant it to be read: once a run, and no failure.
  for (const tFailure& passedOver : declared->passedOver) tell(passedOver.message(), err);
  for (const tHeldDeclaration& declaration : declared->held) {
    tell(declaration.why.message() +
             "; the bindings it made stay as they are until it is fixed and zembril-sync "
             "runs again",
         err);
  }
  bool done = true;
  for (const bool x64 : {false, true}) {
    const tResult<> synced = syncMapFile(paths, x64, *declared, handBack, err);
    if (!synced) tell(synced.failure().message(), err);
    done = synced && done;
  }
  for (const std::string& className : handBack.classes) {
    if (done && !handBack.found.contains(className)) {
      tell(className + " is not held unbound: nothing to hand back", err);
    }
  }
  return done ? kSyncDone : kSyncFailed;
}

}  // namespace nDRAVI100
