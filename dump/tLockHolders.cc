#include "dump/tLockHolders.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cli/tTextEscaping.h"
#include "os/tRegularFile.h"

namespace nDRAVI100 {

namespace {

constexpr const char* kLockTable = "/proc/locks";

// Returns how /proc/locks names the file: "MAJOR:MINOR:INODE", the device
// numbers in hex with at least two digits.
std::string deviceAndInode(const struct stat& file) {
  std::array<char, 64> text{};
  (void)std::snprintf(text.data(), text.size(), "%02x:%02x:%lu", ::major(file.st_dev),
                      ::minor(file.st_dev), static_cast<unsigned long>(file.st_ino));
  return text.data();
}

std::string commandLineOf(long pid) {
  if (pid <= 0) return std::string();
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The arguments are NUL-terminated; the escaping keeps a blank inside one
  // argument apart from the blank that joins two.
  std::string joined;
  std::string::size_type start = 0;
  while (start < raw.size()) {
    std::string::size_type end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    if (!joined.empty()) joined += ' ';
    std::string argument = escapeForText(raw.substr(start, end - start));
    for (std::string::size_type at = 0; (at = argument.find(' ', at)) != std::string::npos;) {
      argument.replace(at, 1, "\\x20");
    }
    joined += argument;
    start = end + 1;
  }
  return joined;
}

// The fields of a lock line of /proc/locks or of a "lock:" line of fdinfo,
// after its number: "FLOCK  ADVISORY  WRITE 1234 fe:00:10954013 0 EOF",
// with "->" before them for a request that waits.
struct tLockLine {
  bool waiting = false;
  std::string kind;
  long pid = 0;
  std::string file;
};

bool parseLockLine(const std::string& line, tLockLine& parsed) {
  std::istringstream fields(line);
  std::string number;
  fields >> number >> parsed.kind;
  parsed.waiting = parsed.kind == "->";
  if (parsed.waiting) fields >> parsed.kind;
  std::string mandatory;
  std::string access;
  return static_cast<bool>(fields >> mandatory >> access >> parsed.pid >> parsed.file);
}

bool processExists(long pid) { return std::filesystem::exists("/proc/" + std::to_string(pid)); }

// Looks through the descriptors of the processes that `owner` runs for the
// file; returns false when some of them could not be looked at.
bool scanDescriptors(const struct stat& file, const std::string& wanted, tFileLocks& locks) {
  namespace fs = std::filesystem;
  bool complete = true;
  std::error_code failure;
  for (fs::directory_iterator process("/proc", failure), end; !failure && process != end;
       process.increment(failure)) {
    const std::string name = process->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // Another user's process cannot have the file open, however many
    // descriptors it holds.
    struct stat owner {};
    if (::stat(process->path().c_str(), &owner) != 0 || owner.st_uid != file.st_uid) continue;
    std::error_code unreadable;
    fs::directory_iterator descriptor(process->path() / "fd", unreadable);
    if (unreadable) {
      complete = complete && unreadable.value() != EACCES && unreadable.value() != EPERM;
      continue;
    }
    for (fs::directory_iterator last; descriptor != last; descriptor.increment(unreadable)) {
      if (unreadable) break;
      struct stat opened {};
      if (::stat(descriptor->path().c_str(), &opened) != 0 || opened.st_dev != file.st_dev ||
          opened.st_ino != file.st_ino) {
        continue;
      }
      std::ifstream info(process->path() / "fdinfo" / descriptor->path().filename());
      const long pid = std::stol(name);
      tLockLine held;
      bool holds = false;
      for (std::string line; !holds && std::getline(info, line);) {
        holds = line.starts_with("lock:") && parseLockLine(line.substr(5), held) && !held.waiting &&
                held.kind == "FLOCK" && held.file == wanted;
      }
      if (holds) {
        const long taker = held.pid != pid ? held.pid : 0;
        locks.holders.push_back(
            {pid, commandLineOf(pid), taker, taker != 0 && !processExists(taker)});
      } else {
        locks.waiters.push_back({pid, commandLineOf(pid)});
      }
      break;
    }
  }
  return complete;
}

// A caller who may not look at the owner's descriptors reads /proc/locks,
// which the kernel writes out slowly when other users hold many locks: it
// stops once it has the file's lines, or when the time is up.
constexpr std::chrono::milliseconds kMostLockTableTime{500};

tResult<> readLockTable(const std::string& wanted, tFileLocks& locks) {
  std::ifstream table(kLockTable);
  if (!table) return tFailure::ofErrno(errno);
  const auto deadline = std::chrono::steady_clock::now() + kMostLockTableTime;
  bool inFile = false;
  std::size_t lines = 0;
  for (std::string line; std::getline(table, line);) {
    tLockLine lock;
    const bool ours = parseLockLine(line, lock) && lock.kind == "FLOCK" && lock.file == wanted;
    // A lock's waiters follow it: the first other line after them ends the file's.
    if (inFile && !(ours && lock.waiting)) return {};
    if (ours) {
      inFile = true;
      (lock.waiting ? locks.waiters : locks.holders).push_back({lock.pid, commandLineOf(lock.pid)});
    }
    if (++lines % 1024 == 0 && std::chrono::steady_clock::now() > deadline) {
      return tFailure(std::string(kLockTable) +
                      ", which lists every lock on the system, took too long to read");
    }
  }
  return {};
}

}  // namespace

tResult<tFileLocks> findFileLocks(const std::string& path) {
  tFileLocks locks;
  struct stat file {};
  if (::lstat(path.c_str(), &file) != 0) {
    if (isMissingFileError(errno)) return locks;
    return tFailure::ofErrno(errno);
  }
  const std::string wanted = deviceAndInode(file);
  if (scanDescriptors(file, wanted, locks) || !locks.holders.empty()) return locks;
  locks.waiters.clear();
  if (const tResult<> read = readLockTable(wanted, locks); !read) return read.failure();
  return locks;
}

}  // namespace nDRAVI100
