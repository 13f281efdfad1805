#include "sync/tSyncProgram.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "persistentStorage/tFileSystemAdapter.h"
#include "persistentStorage/tMapFileAccess.h"
#include "persistentStorage/tRegularFile.h"
#include "persistentStorage/tReplacementFile.h"
#include "sync/tDeclarations.h"
#include "sync/tSyncPlan.h"
#include "tool/tCommandDispatch.h"

namespace nDRAVI100 {

namespace {

constexpr const char* kDeclarationDirectory = "/usr/share/zembril/declarations";
// Where zembril-sync 1.2.0 kept the records; a run moves them beside the maps.
constexpr const char* kLegacyRecordDirectory = "/var/lib/zembril";

void put(std::FILE* stream, const std::string& text) {
  // Messages go out on a best-effort basis; the exit status carries the outcome.
  (void)std::fwrite(text.data(), 1, text.size(), stream);
}

// The record lives beside the map file it describes, in the map directory:
// it lasts as long as the map does, whatever becomes of the zembril package,
// and a map directory that the directory file moves elsewhere starts with
// none, as its map does.
std::string recordPath(const std::string& mapDirectory, bool x64) {
  return mapFilePathIn(mapDirectory, x64) + ".declared";
}

std::string legacyRecordPath(bool x64) {
  return tFileSystemAdapter::root() + kLegacyRecordDirectory +
         (x64 ? "/declared64" : "/declared32");
}

// Reads the record of one map file; a missing one records nothing.
bool readRecord(const std::string& path, tRecord& record, std::string& error) {
  record.clear();
  const tRegularFile file = tRegularFile::openForReading(path);
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

// Replaces the record through a synced temporary file, as a map file is
// replaced, so that it is always the old record or the new one, whole. An
// empty record is removed, so that a map directory the package made can go
// with it once it holds no binding.
bool writeRecord(const std::string& path, const tRecord& record, std::FILE* err) {
  tStatus status = 0;
  if (record.empty()) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      put(err, "zembril-sync: cannot remove " + path + ": " + std::strerror(errno) + "\n");
      return false;
    }
    syncParentDirectory(path);
    return true;
  }
  tReplacementFile replacement(path, status);
  if (!isError(status)) replacement.write(formatRecord(record), status);
  replacement.finishWriting(status);
  replacement.commit(status);
  if (isError(status)) {
    // The directory is the map directory, which a run may find missing.
    const std::string directory = path.substr(0, path.rfind('/'));
    if (::access(directory.c_str(), F_OK) != 0) {
      put(err, "zembril-sync: the map directory " + directory + ": " + std::strerror(errno) + "\n");
    } else {
      put(err, failure("cannot write " + path, status));
    }
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
bool syncMapFile(bool x64, const std::vector<tDeclaration>& all, const std::set<std::string>& held,
                 tHandBack& handBack, std::FILE* err) {
  const std::string mapName = x64 ? "64-bit" : "32-bit";
  std::vector<tDeclaration> declared;
  for (const tDeclaration& declaration : all) {
    if (declaration.x64 != x64) continue;
    declared.push_back(declaration);
    declared.back().library = substituteBitness(declaration.library, x64 ? 1 : 0);
  }
  const std::string mapDirectory = tFileSystemAdapter::lookUpMapDirectory().directory;
  const std::string path = recordPath(mapDirectory, x64);
  const std::string legacyPath = legacyRecordPath(x64);
  std::string error;
  tRecord recorded;
  tRecord legacy;
  // Nothing declared and nothing recorded: the map file is no business of ours.
  if (declared.empty() && readRecord(path, recorded, error) && recorded.empty() &&
      readRecord(legacyPath, legacy, error) && legacy.empty()) {
    return true;
  }

  tStatus status = 0;
  tClassMapStore store(kDeferSave, x64 ? 1 : 0, status);
  if (isError(status)) {
    put(err, failure("the " + mapName + " map file in " + mapDirectory, status));
    return false;
  }
  // Read again under the lock: another sync may have changed it meanwhile.
  error.clear();
  if (!readRecord(path, recorded, error) || !readRecord(legacyPath, legacy, error)) {
    put(err, "zembril-sync: " + error + "\n");
    return false;
  }
  tRecord known = recorded;
  known.insert(known.end(), legacy.begin(), legacy.end());
  std::erase_if(known, [&](const tRecordedBinding& entry) {
    if (entry.state != tRecordState::unbound) return false;
    if (!handBack.all && !handBack.classes.contains(entry.className)) return false;
    handBack.found.insert(entry.className);
    put(err, "zembril-sync: " + mapName + " " + (entry.scope == 0 ? "U" : "K") +
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
    if (plan.before != recorded && !writeRecord(path, plan.before, err)) return false;
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
  if (plan.record != recorded && !writeRecord(path, plan.record, err)) return false;
  // The old record's lines are in the new one now.
  std::error_code missing;
  if (!legacy.empty() || std::filesystem::exists(legacyPath, missing)) {
    if (::unlink(legacyPath.c_str()) != 0 && errno != ENOENT) {
      put(err, "zembril-sync: cannot remove " + legacyPath + ": " + std::strerror(errno) + "\n");
      return false;
    }
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
  enum : int { kRoot = 256, kHandBack, kHandBackAll, kHelpOption, kVersion };
  static const option kOptions[] = {{"root", required_argument, nullptr, kRoot},
                                    {"hand-back", required_argument, nullptr, kHandBack},
                                    {"hand-back-all", no_argument, nullptr, kHandBackAll},
                                    {"help", no_argument, nullptr, kHelpOption},
                                    {"version", no_argument, nullptr, kVersion},
                                    {nullptr, 0, nullptr, 0}};
  std::vector<std::string> words = arguments;
  if (words.empty()) words.emplace_back("zembril-sync");
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // "+" keeps getopt from looking past the first operand, which is an error anyway.
  optind = 0;
  opterr = 0;
  std::string root;
  tHandBack handBack;
  for (;;) {
    // The argument that holds the option, as it was typed, for the messages.
    const std::size_t at = static_cast<std::size_t>(std::max(optind, 1));
    const std::string typed = at < words.size() ? words[at] : "";
    const int code =
        getopt_long(static_cast<int>(words.size()), argv.data(), "+:", kOptions, nullptr);
    if (code == -1) break;
    switch (code) {
      case kRoot:
        root = optarg;
        if (!tFileSystemAdapter::setRoot(root)) {
          return usageError("--root needs an absolute directory, not '" + root + "'", err);
        }
        break;
      case kHandBack:
        handBack.classes.insert(optarg);
        break;
      case kHandBackAll:
        handBack.all = true;
        break;
      case kHelpOption:
        put(out, kHelp);
        return kSyncDone;
      case kVersion:
        put(out, "zembril-sync (zembril) " ZEMBRIL_VERSION "\n");
        return kSyncDone;
      case ':':
        return usageError("option '" + typed.substr(0, typed.find('=')) + "' needs a value", err);
      default:
        return usageError("unknown option '" + typed + "'", err);
    }
  }
  if (static_cast<std::size_t>(optind) < words.size()) {
    return usageError("extra operand '" + words[static_cast<std::size_t>(optind)] + "'", err);
  }

  std::vector<tDeclaration> declarations;
  std::vector<tHeldDeclaration> held;
  std::string error;
  if (!readDeclarations(tFileSystemAdapter::root() + kDeclarationDirectory, declarations, held,
                        error)) {
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
    done = syncMapFile(x64, declarations, heldPackages, handBack, err) && done;
  }
  for (const std::string& className : handBack.classes) {
    if (done && !handBack.found.contains(className)) {
      put(err, "zembril-sync: " + className + " is not held unbound: nothing to hand back\n");
    }
  }
  return done ? kSyncDone : kSyncFailed;
}

}  // namespace nDRAVI100
