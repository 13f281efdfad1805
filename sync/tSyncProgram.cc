#include "sync/tSyncProgram.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <set>

#include "classMap/tCommandRequest.h"
#include "persistentStorage/tDirectory.h"
#include "persistentStorage/tMapPaths.h"
#include "persistentStorage/tRegularFile.h"
#include "persistentStorage/tReplacementFile.h"
#include "sync/tDeclarations.h"
#include "sync/tSyncPlan.h"

namespace nDRAVI100 {

namespace {

void put(std::FILE* stream, const std::string& text) {
  // Messages go out on a best-effort basis; the exit status carries the outcome.
  (void)std::fwrite(text.data(), 1, text.size(), stream);
}

// Reads the record of one map file; a missing one records nothing.
bool readRecord(const std::string& path, const std::string& root, tRecord& record,
                std::string& error) {
  record.clear();
  // Never through a link, as the map files beside which it is kept.
  const tRegularFile file = tDirectory::holding(path, root).openFile(fileNameOf(path), O_RDONLY);
  if (!file && !file.notRegular() && isMissingFileError(file.error())) return true;
  if (!file) {
    error = file.notRegular() ? "not a regular file" : std::strerror(file.error());
    return false;
  }
  std::string bytes;
  if (const int failed = file.readRest(bytes); failed != 0) {
    error = std::strerror(failed);
    return false;
  }
  return parseRecord(bytes, record, error);
}

// Replaces the record through a synced temporary file, as a map file is
// replaced, so that it is always the old record or the new one, whole.
void writeRecord(const tMapPaths& paths, const std::string& path, const tRecord& record,
                 tStatus& status) {
  const std::string directory = paths.recordsDirectory();
  const tDirectory parent = tDirectory::holding(directory, paths.root());
  if (::mkdirat(parent.descriptor(), fileNameOf(directory).c_str(), 0755) != 0 && errno != EEXIST) {
    raiseError(status, nCode::kCannotOpen);
    return;
  }
  const tDirectory records = tDirectory::open(directory, paths.root());
  tReplacementFile replacement(records, fileNameOf(path), status);
  if (isError(status)) return;
  replacement.write(formatRecord(record), status);
  replacement.finishWriting(status);
  replacement.commit(status);
}

std::string failure(const std::string& what, tStatus status) {
  return "zembril-sync: " + what + ": status " + std::to_string(status) +
         "; 'zembril-dump --explain " + std::to_string(status) + "' says what it means\n";
}

// Brings one map file in line with `all`; returns false when it could not.
bool syncMapFile(const tMapPaths& paths, bool x64, const std::vector<tDeclaration>& all,
                 std::FILE* err) {
  const std::string mapName = x64 ? "64-bit" : "32-bit";
  std::vector<tDeclaration> declared;
  for (const tDeclaration& declaration : all) {
    if (declaration.x64 != x64) continue;
    declared.push_back(declaration);
    declared.back().library = substituteBitness(declaration.library, x64 ? 1 : 0);
  }
  const std::string path = paths.record(x64);
  std::string error;
  tRecord recorded;
  // Nothing declared and nothing recorded: the map file is no business of ours.
  if (declared.empty() && readRecord(path, paths.root(), recorded, error) && recorded.empty()) {
    return true;
  }

  tStatus status = 0;
  tClassMapStore store(kDeferSave, x64 ? 1 : 0, tMapNeed::bindings, status, paths.root());
  if (isError(status)) {
    put(err, failure(mapName + " map file", status));
    return false;
  }
  // Read again under the lock: another sync may have changed it meanwhile.
  if (!readRecord(path, paths.root(), recorded, error)) {
    put(err, "zembril-sync: " + path + ": " + error + "\n");
    return false;
  }
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
  const tSyncPlan plan = planSync(declared, recorded, bound, mapName);
  for (const std::string& notice : plan.notices) put(err, "zembril-sync: " + notice + "\n");

  const tRecord widened = mergeRecords(recorded, plan.record);
  if (widened != recorded) writeRecord(paths, path, widened, status);
  for (const tSyncStep& step : plan.steps) {
    if (step.bind) {
      store.add(step.className, step.library, step.scope, status);
    } else {
      store.deleteClass(step.className, step.scope, status);
    }
  }
  store.saveAllMapFiles(status);
  if (!isError(status) && plan.record != widened) writeRecord(paths, path, plan.record, status);
  if (isError(status)) {
    put(err, failure(mapName + " map file", status));
    return false;
  }
  return true;
}

constexpr const char* kHelp =
    "Usage: zembril-sync [--root=DIR]\n"
    "Bring zembril's class map in line with the bindings that installed packages\n"
    "declare in /usr/share/zembril/declarations. The zembril package runs it from\n"
    "a dpkg trigger whenever a package adds or removes a declaration.\n"
    "\n"
    "      --root=DIR   the class map and the declarations of the system image in DIR\n"
    "      --help       print this help and exit\n"
    "      --version    print the version and exit\n"
    "\n"
    "Exit status: 0 done; 1 a map file could not be brought in line; 2 a usage error.\n"
    "\n"
    "Full documentation: man zembril-sync\n";

int usageError(const std::string& reason, std::FILE* err) {
  put(err, "zembril-sync: " + reason + "; try 'zembril-sync --help' for more information\n");
  return kSyncUsage;
}

}  // namespace

int runSync(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err) {
  enum : int { kRoot = 256, kHelpOption, kVersion };
  static const option kOptions[] = {{"root", required_argument, nullptr, kRoot},
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
        if (!root.starts_with('/')) {
          return usageError("--root needs an absolute directory, not '" + root + "'", err);
        }
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
  std::string error;
  const tMapPaths paths(root);
  if (!readDeclarations(paths.declarationsDirectory(), declarations, error)) {
    put(err, "zembril-sync: " + error + "; no map file was changed\n");
    return kSyncFailed;
  }
  bool done = true;
  for (const bool x64 : {false, true}) done = syncMapFile(paths, x64, declarations, err) && done;
  return done ? kSyncDone : kSyncFailed;
}

}  // namespace nDRAVI100
