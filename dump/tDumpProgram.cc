#include "dump/tDumpProgram.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "cli/tLongOptions.h"
#include "dump/tBindingOutput.h"
#include "dump/tDumpOptions.h"
#include "dump/tMapFileSnapshot.h"
#include "dump/tSetupCheck.h"
#include "dump/tStatusExplanation.h"
#include "dump/tTextEscaping.h"
#include "persistentStorage/tMapFileAccess.h"
#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

namespace {

void put(std::FILE* stream, const std::string& text) {
  // Diagnostics go out on a best-effort basis; the exit status carries the outcome.
  (void)std::fwrite(text.data(), 1, text.size(), stream);
}

int usageError(const std::string& reason, std::FILE* err) {
  put(err, usageLine());
  put(err, "zembril-dump: " + reason + "; try 'zembril-dump --help' for more information\n");
  return kDumpFailed;
}

std::string countsOf(const tMapFileSnapshot& snapshot) {
  return std::to_string(snapshot.uMap.size()) + " U and " + std::to_string(snapshot.kMap.size()) +
         " K bindings";
}

// The show and salvage modes: both print what a file holds; they differ in
// what they make of a file that is not whole.
int printBindings(const tDumpOptions& options, const tMapPaths& paths, std::FILE* out,
                  std::FILE* err) {
  const bool salvaging = options.mode == tDumpMode::salvage;
  // Found as zembril finds it, unless a file was named.
  const std::string path =
      options.file ? *options.file : tMapPaths::resolve(paths.root()).mapFile(options.x64);
  tMapFileSnapshot snapshot = readMapFileSnapshot(path, true, true, paths.root());
  std::string prefix = "zembril-dump: " + escapeForText(path) + ": ";
  // A wrong magic or version says nothing of the records after it: a
  // salvage reads them where an intact file has them.
  const bool headDamaged =
      salvaging && snapshot.state == tMapFileState::damaged &&
      (snapshot.scan.code == -nCode::kBadMagic || snapshot.scan.code == -nCode::kBadVersion);
  if (headDamaged) {
    prefix += "head damaged (" + snapshot.scan.problem + "), so read from offset " +
              std::to_string(kMapFileHeadSize) + ", where an intact file has its records: ";
    snapshot = readMapFileSnapshot(path, false, true, paths.root());
  }
  const auto print = [&]() {
    return writeBindings(snapshot.uMap, snapshot.kMap, path, options, out, err) ? kDumpHealthy
                                                                                : kDumpAttention;
  };
  const std::string damage =
      snapshot.scan.problem + " at offset " + std::to_string(snapshot.scan.offset);

  switch (snapshot.state) {
    case tMapFileState::absent:
      // zembril takes a missing map file for empty maps; a file that was
      // named and is missing is a mistake, and an empty backup of it would
      // wipe a map when replayed.
      if (!options.file && !salvaging) return print();
      [[fallthrough]];
    case tMapFileState::cannotOpen:
      put(err, prefix + std::strerror(snapshot.error) + "\n");
      return kDumpFailed;
    case tMapFileState::notRegular:
      put(err, prefix + "not a regular file (" + fileKindOf(snapshot.mode) + ")\n");
      return kDumpFailed;
    case tMapFileState::unsettled:
      put(err, prefix + "changed while it was read, on each of " +
                   std::to_string(kMapFileReadAttempts) +
                   " reads; a run may be rewriting it; try again\n");
      return kDumpFailed;
    case tMapFileState::readFailed:
      if (!salvaging) {
        put(err, prefix + std::strerror(snapshot.error) + "\n");
        return kDumpFailed;
      }
      (void)print();
      put(err, prefix + std::strerror(snapshot.error) + " at offset " +
                   std::to_string(snapshot.scan.offset) + "; the " + countsOf(snapshot) +
                   " before it are printed\n");
      return kDumpFailed;
    case tMapFileState::copyUnfinished:
      // Its head is the mark, its body a mix of the old and the new file:
      // the whole new file is the temporary file beside it.
      put(err, prefix +
                   "a copy into it began and did not finish; the next run of zembril that "
                   "takes the lock finishes it from " +
                   escapeForText(tMapPaths::temporaryNameFor(path)) + "\n");
      return kDumpAttention;
    case tMapFileState::damaged:
      if (!salvaging) {
        put(err, prefix + damage + "\n");
        return kDumpAttention;
      }
      (void)print();
      put(err, prefix + damage + "; the " + countsOf(snapshot) + " before it are printed\n");
      return kDumpAttention;
    case tMapFileState::whole:
      break;
  }
  const int status = print();
  if (salvaging) {
    put(err, prefix + (headDamaged ? "" : "a whole map file of ") + countsOf(snapshot) +
                 ", read to its end at offset " + std::to_string(snapshot.scan.offset) + "\n");
  }
  return headDamaged ? kDumpAttention : status;
}

int runMode(const tDumpOptions& options, const tMapPaths& paths, std::FILE* out, std::FILE* err) {
  switch (options.mode) {
    case tDumpMode::help:
      put(out, helpText());
      return kDumpHealthy;
    case tDumpMode::version:
      put(out, "zembril-dump (zembril) " ZEMBRIL_VERSION "\n");
      return kDumpHealthy;
    case tDumpMode::explain: {
      const auto explanation = explainStatusCode(options.code);
      if (!explanation) {
        // zembril prints its errors with the minus sign, which is easily lost.
        const bool signLost = explainStatusCode("-" + options.code).has_value();
        return usageError("unknown status code '" + options.code + "'" +
                              (signLost ? " (errors are negative: -" + options.code + ")" : ""),
                          err);
      }
      put(out, *explanation);
      return kDumpHealthy;
    }
    case tDumpMode::check:
      return checkSetup(paths, out) ? kDumpHealthy : kDumpAttention;
    case tDumpMode::show:
    case tDumpMode::salvage:
      return printBindings(options, paths, out, err);
  }
  return kDumpFailed;
}

}  // namespace

int runDump(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err) {
  const std::vector<std::string> rest(
      arguments.begin() + std::min<std::ptrdiff_t>(1, std::ssize(arguments)), arguments.end());
  const tParsedOptions parsed = parseDumpArguments(rest);
  if (!parsed.usageError.empty()) return usageError(parsed.usageError, err);
  const std::optional<std::string>& root = parsed.options.root;
  if (root && !root->starts_with('/')) {
    return usageError("--root needs an absolute directory, not '" + *root + "'", err);
  }
  const bool answersOnly =
      parsed.options.mode == tDumpMode::help || parsed.options.mode == tDumpMode::version;
  if (const std::string problem = root && !answersOnly ? rootProblem(*root) : std::string();
      !problem.empty()) {
    // A mistyped image would show as an empty map, and a backup of it would
    // empty a map when replayed.
    put(err, "zembril-dump: " + escapeForText(*root) + ": " + problem + "\n");
    return kDumpFailed;
  }
  const int status = runMode(parsed.options, tMapPaths(root.value_or(std::string())), out, err);
  // Output that did not arrive (a full disk, a closed pipe) must not pass
  // for a complete backup.
  if (std::fflush(out) != 0 || std::ferror(out) != 0) {
    put(err, std::string("zembril-dump: write error: ") + std::strerror(errno) + "\n");
    return kDumpFailed;
  }
  return status;
}

}  // namespace nDRAVI100
