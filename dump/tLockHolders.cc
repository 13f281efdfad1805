#include "dump/tLockHolders.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "dump/tTextEscaping.h"

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

// Returns the processes that hold an flock on `file` through one of their
// descriptors: those whose fdinfo of a descriptor of it lists a granted
// FLOCK. Processes that /proc hides from the caller are not found.
std::vector<long> descriptorHolders(const struct stat& file) {
  namespace fs = std::filesystem;
  std::vector<long> holders;
  std::error_code failure;
  for (fs::directory_iterator process("/proc", failure), end; !failure && process != end;
       process.increment(failure)) {
    const std::string name = process->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ignored;
    for (fs::directory_iterator descriptor(process->path() / "fd", ignored), last;
         !ignored && descriptor != last; descriptor.increment(ignored)) {
      struct stat opened {};
      if (::stat(descriptor->path().c_str(), &opened) != 0 || opened.st_dev != file.st_dev ||
          opened.st_ino != file.st_ino) {
        continue;
      }
      std::ifstream info(process->path() / "fdinfo" / descriptor->path().filename());
      bool holds = false;
      for (std::string line; !holds && std::getline(info, line);) {
        holds = line.starts_with("lock:") && line.find(" FLOCK ") != std::string::npos &&
                line.find("->") == std::string::npos;
      }
      if (holds) {
        holders.push_back(std::stol(name));
        break;
      }
    }
  }
  return holders;
}

}  // namespace

tFileLocks findFileLocks(const std::string& path) {
  tFileLocks locks;
  struct stat file {};
  if (::lstat(path.c_str(), &file) != 0) {
    locks.known = errno == ENOENT || errno == ENOTDIR;
    locks.error = errno;
    return locks;
  }
  const std::string wanted = deviceAndInode(file);
  std::ifstream table(kLockTable);
  if (!table) {
    locks.error = errno;
    return locks;
  }
  // A line reads "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10954013 0 EOF", with
  // "->" after the number for a process that waits for the lock.
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string number;
    std::string kind;
    fields >> number >> kind;
    const bool waiting = kind == "->";
    if (waiting) fields >> kind;
    std::string mandatory;
    std::string access;
    long pid = 0;
    std::string name;
    if (!(fields >> mandatory >> access >> pid >> name) || kind != "FLOCK") continue;
    if (name != wanted) continue;
    (waiting ? locks.waiters : locks.holders).push_back({pid, commandLineOf(pid)});
  }
  locks.known = true;
  const std::vector<long> holders = descriptorHolders(file);
  if (locks.holders.size() == 1 && !holders.empty() && holders.front() != locks.holders[0].pid) {
    const long taker = locks.holders[0].pid;
    locks.holders.clear();
    for (const long pid : holders) {
      locks.holders.push_back({pid, commandLineOf(pid), taker,
                               !std::filesystem::exists("/proc/" + std::to_string(taker))});
    }
  }
  return locks;
}

}  // namespace nDRAVI100
