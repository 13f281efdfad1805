#include "testSupport.h"

#include <sys/mman.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "mapFile/tMapFile.h"

namespace nDRAVI100::testing {

namespace fs = std::filesystem;

tScratchTree::tScratchTree(bool createMapDirectory) {
  std::string pattern = (fs::temp_directory_path() / "zembril-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  rootPath = pattern;
  if (createMapDirectory) fs::create_directories(mapDirectory());
}

tScratchTree::~tScratchTree() {
  std::error_code ignored;
  fs::remove_all(rootPath, ignored);
}

std::string tScratchTree::directoryFile() const {
  return rootPath + "/etc/tolvane/.mirtal/mirtal.dir";
}
std::string tScratchTree::mapDirectory() const {
  return rootPath + "/usr/local/tolvane/.mirtal/etc";
}
std::string tScratchTree::mapFile(bool x64) const {
  return mapDirectory() + (x64 ? "/dravimap64" : "/dravimap");
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> listDirectory(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    // The lock file stays once a run has made it; it holds no bindings.
    if (entry.path().filename() == "dravimap.lock") continue;
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

void appendWord(std::string& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(value >> shift));
}

void appendSection(std::string& bytes, const tPairs& pairs) {
  appendWord(bytes, static_cast<std::uint32_t>(pairs.size()));
  for (const auto& [key, value] : pairs) {
    for (const std::string* text : {&key, &value}) {
      appendWord(bytes, static_cast<std::uint32_t>(text->size() + 1));
      bytes += *text;
      bytes.push_back('\0');
    }
  }
}

}  // namespace

std::string encodeMapFile(const tPairs& first, const tPairs& second) {
  std::string bytes = " fmd";
  appendWord(bytes, 1);
  appendSection(bytes, first);
  appendSection(bytes, second);
  return bytes;
}

std::string copyMarkFor(const std::string& content) {
  const int fd = ::memfd_create("temporary", MFD_CLOEXEC);
  if (fd < 0 ||
      ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    throw std::runtime_error("memfd failed");
  }
  const std::optional<tCopyMark> mark = digestOfFile(fd);
  ::close(fd);
  if (!mark) throw std::runtime_error("digest failed");
  return encodeCopyMark(*mark);
}

tDecoded decodeMapFile(const std::string& bytes) {
  tDecoded decoded;
  const int fd = ::memfd_create("map", MFD_CLOEXEC);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      ::lseek(fd, 0, SEEK_SET) != 0) {
    throw std::runtime_error("memfd failed");
  }
  decoded.asWritten =
      readMapFileDescriptor(fd, 2, &decoded.uMap, &decoded.kMap, decoded.status).asWritten;
  ::close(fd);
  return decoded;
}

tRunResult runCommand(const std::vector<std::string>& command, const std::string& programName) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    if (!programName.empty()) argv[0] = const_cast<char*>(programName.c_str());
    argv.push_back(nullptr);
    if (std::find(command.begin(), command.end(), "strace") != command.end()) {
      // LeakSanitizer cannot work under ptrace, also where strace runs
      // under another wrapper; the sanitizer build's other checks still run.
      const char* options = std::getenv("ASAN_OPTIONS");
      const std::string merged = std::string(options ? options : "") + ":detect_leaks=0";
      ::setenv("ASAN_OPTIONS", merged.c_str(), 1);
    }
    ::execvp(command[0].c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  tRunResult result;
  char buffer[4096];
  ssize_t count = 0;
  while ((count = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
    result.output.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(pipeEnds[0]);
  int status = 0;
  struct rusage usage {};
  ::wait4(child, &status, 0, &usage);
  result.maxRssKiB = usage.ru_maxrss;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

tRunResult runTool(const tScratchTree& tree, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& wrapper, const std::string& programName) {
  std::vector<std::string> command = wrapper;
  command.insert(command.end(), {ZEMBRIL_BINARY, "/root", tree.root()});
  command.insert(command.end(), arguments.begin(), arguments.end());
  // The program name is what the tool sees as argument 0; with a wrapper in
  // front it stays the binary's own path.
  return runCommand(command, wrapper.empty() ? programName : "");
}

bool haveProgram(const std::string& program) {
  return runCommand({"sh", "-c", "command -v " + program + " >/dev/null"}).exitStatus == 0;
}

}  // namespace nDRAVI100::testing
