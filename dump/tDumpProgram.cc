#include "dump/tDumpProgram.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <vector>

#include "cli/tFailure.h"
#include "cli/tLongOptions.h"
#include "cli/tProgramVoice.h"
#include "cli/tTextEscaping.h"
#include "dump/tBindingOutput.h"
#include "dump/tDumpOptions.h"
#include "dump/tMapFileSnapshot.h"
#include "dump/tMissingLibraries.h"
#include "dump/tPathWalk.h"
#include "dump/tQuotedString.h"
#include "dump/tRecoveryForecast.h"
#include "dump/tSetupCheck.h"
#include "dump/tStatusExplanation.h"
#include "persistentStorage/tMapFileAccess.h"
#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

namespace {

int usageError(const std::string& reason, std::FILE* err) {
  reportUsageError(dumpVoice(), reason, err);
  return kDumpFailed;
}

// --missing: the bindings of `snapshot` whose library is not there, in
// the form asked for; they need attention.
int printMissing(const tMapFileSnapshot& snapshot, const std::string& path,
                 const tDumpOptions& options, const std::string& root, std::FILE* out,
                 std::FILE* err, bool& readWhole) {
  const tLibraryCensus census = takeLibraryCensus(snapshot, options.scope, root, false);
  std::array<std::vector<tSnapshotBinding>, 2> missing;
  for (const tUnfoundBinding& binding : census.missing) {
    missing.at(binding.letter == 'U' ? 0 : 1).push_back(binding.binding);
  }
  const tWrittenBindings written = writeBindings(snapshot, missing, path, options, out, err);
  readWhole = written.readWhole;
  return written.allCarried && census.missing.empty() ? kDumpHealthy : kDumpAttention;
}

// Whether the file at `path` is a map file of the system in `paths`: the
// one a run of either bitness reaches, whatever name it was given by.
bool isMapFile(const std::string& path, const tMapPaths& paths) {
  const tMapPaths resolved = tMapPaths::resolve(paths.root());
  struct stat given {};
  if (::lstat(path.c_str(), &given) != 0) return false;
  for (const bool is64Bit : {false, true}) {
    struct stat mapFile {};
    if (::lstat(resolvedFilePath(resolved.mapFile(is64Bit), paths.root()).c_str(), &mapFile) == 0 &&
        mapFile.st_dev == given.st_dev && mapFile.st_ino == given.st_ino) {
      return true;
    }
  }
  return false;
}

// The show and salvage modes: both print what a file holds; they differ in
// what they make of a file that is not whole.
int printBindings(const tDumpOptions& options, const tMapPaths& paths, std::FILE* out,
                  std::FILE* err) {
  const bool salvaging = options.mode == tDumpMode::salvage;
  // Found as zembril finds it, unless a file was named.
  const std::string path =
      options.file ? *options.file : tMapPaths::resolve(paths.root()).mapFile(options.x64);
  tBindingFilter filter;
  filter.scope = options.scope;
  filter.classes = options.classes;
  filter.libraries = options.libraries;
  // Only a library short enough to be a path is looked up; the rest are
  // printed from the file like any string too long to hold.
  if (options.missing) filter.longestHeld = kLongestQuotedWhole;
  // A salvage takes the bytes as they are: a copy mark is one more head
  // that says nothing of the records, not a copy to wait for.
  tMapFileSnapshot snapshot = readMapFileSnapshot(path, true, !salvaging, paths.root(), filter);
  std::string prefix = escapeForText(path) + ": ";
  const auto say = [&](const std::string& text) { report(dumpVoice(), prefix + text, err); };
  // A wrong magic or version says nothing of the records after it: a
  // salvage reads them where an intact file has them.
  const bool marked = salvaging && snapshot.state == tMapFileState::copyUnfinished;
  const bool headDamaged =
      marked ||
      (salvaging && snapshot.state == tMapFileState::damaged &&
       (snapshot.scan.code == -nCode::kBadMagic || snapshot.scan.code == -nCode::kBadVersion));
  if (headDamaged) {
    const std::string problem =
        marked ? std::string("the copy mark of a copy into it that did not finish")
               : snapshot.scan.problem;
    prefix += "head damaged (" + problem + "), so read from offset " +
              std::to_string(kMapFileHeadSize) + ", where an intact file has its records: ";
    snapshot = readMapFileSnapshot(path, false, true, paths.root(), filter);
  }
  // A string too long to hold is read from the file again as it is
  // printed: the file must still be the version that was read.
  bool readWhole = true;
  const auto print = [&]() {
    if (options.missing) {
      return printMissing(snapshot, path, options, paths.root(), out, err, readWhole);
    }
    const tWrittenBindings written =
        writeBindings(snapshot, snapshot.bindings, path, options, out, err);
    readWhole = written.readWhole;
    return written.allCarried ? kDumpHealthy : kDumpAttention;
  };
  const auto changedMeanwhile = [&] {
    if (!snapshot.leftInFile() || (readWhole && isStillVersionRead(snapshot.file))) return false;
    say("changed while it was read; a run may be rewriting it; try again");
    return true;
  };
  const std::string damage = damageOf(snapshot);
  const std::string system = tFailure::ofErrno(snapshot.error).message();

  switch (snapshot.state) {
    case tMapFileState::absent:
      // zembril takes a missing map file for empty maps; a file that was
      // named and is missing is a mistake, and an empty backup of it would
      // wipe a map when replayed.
      if (!options.file && !salvaging) return print();
      [[fallthrough]];
    case tMapFileState::cannotOpen:
      say(system);
      return kDumpFailed;
    case tMapFileState::notRegular:
      say("not a regular file (" + fileKindOf(snapshot.mode) + ")");
      return kDumpFailed;
    case tMapFileState::unsettled:
      say("changed while it was read, on each of " + std::to_string(kMapFileReadAttempts) +
          " reads; a run may be rewriting it; try again");
      return kDumpFailed;
    case tMapFileState::readFailed:
      if (!salvaging) {
        say(system);
        return kDumpFailed;
      }
      (void)print();
      if (changedMeanwhile()) return kDumpFailed;
      say(system + " at offset " + std::to_string(snapshot.scan.offset) + "; the " +
          countsOf(snapshot) + " before it are printed");
      return kDumpFailed;
    case tMapFileState::copyUnfinished:
      // Its head is the mark, its body a mix of the old and the new file.
      // What becomes of it depends on the temporary file beside it: the very
      // plan that the next holder of the lock carries out says.
      // Only the map file has a next run to finish or set aside its copy.
      say("a copy into it began and did not finish" +
          (isMapFile(path, paths)
               ? "; " + planInWords(forecastRecovery(path, paths.root(), snapshot), snapshot, path)
               : std::string()));
      return kDumpAttention;
    case tMapFileState::damaged:
      if (!salvaging) {
        say(damage);
        return kDumpAttention;
      }
      (void)print();
      if (changedMeanwhile()) return kDumpFailed;
      say(damage + "; the " + countsOf(snapshot) + " before it are printed");
      return kDumpAttention;
    case tMapFileState::whole:
      break;
  }
  const int status = print();
  if (changedMeanwhile()) return kDumpFailed;
  if (salvaging) {
    say((headDamaged ? "" : "a whole map file of ") + countsOf(snapshot) +
        ", read to its end at offset " + std::to_string(snapshot.scan.offset));
  }
  return headDamaged ? kDumpAttention : status;
}

int runMode(const tDumpOptions& options, const tMapPaths& paths, std::FILE* out, std::FILE* err) {
  switch (options.mode) {
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
      return checkSetup(paths, options.form, out) ? kDumpHealthy : kDumpAttention;
    case tDumpMode::show:
    case tDumpMode::salvage:
      return printBindings(options, paths, out, err);
  }
  return kDumpFailed;
}

// Answers --help and --version, refuses a wrong command line or root, and
// runs the mode.
int runCommandLine(const tResult<tDumpOptions>& parsed, std::FILE* out, std::FILE* err) {
  if (!parsed) return usageError(parsed.failure().message(), err);
  const tDumpOptions& options = *parsed;
  if (options.answer != tAnswer::none) {
    answer(dumpVoice(), options.answer, out);
    return kDumpHealthy;
  }
  const std::string root = options.root.value_or(std::string());
  if (options.root) {
    if (const std::string misuse = rootMisuse(root); !misuse.empty())
      return usageError(misuse, err);
    if (const std::string problem = rootProblem(root); !problem.empty()) {
      // A mistyped image would show as an empty map, and a backup of it would
      // empty a map when replayed.
      report(dumpVoice(), escapeForText(root) + ": " + problem, err);
      return kDumpFailed;
    }
  }
  return runMode(options, tMapPaths(root), out, err);
}

}  // namespace

int runDump(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err) {
  const int status = runCommandLine(parseDumpArguments(arguments), out, err);
  // Output that did not arrive (a full disk, a closed pipe) must not pass
  // for a complete backup.
  if (std::fflush(out) != 0 || std::ferror(out) != 0) {
    report(dumpVoice(), tFailure::ofErrno(errno).after("write error: "), err);
    return kDumpFailed;
  }
  return status;
}

std::FILE* closedOutput() {
  cookie_io_functions_t refusing{};
  refusing.write = [](void*, const char*, std::size_t) -> ssize_t {
    errno = EBADF;
    return -1;
  };
  return ::fopencookie(nullptr, "w", refusing);
}

}  // namespace nDRAVI100
