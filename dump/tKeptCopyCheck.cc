#include "dump/tKeptCopyCheck.h"

#include <dirent.h>

#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

#include "cli/tTextEscaping.h"
#include "dump/tMapFileSnapshot.h"
#include "os/tDirectory.h"
#include "persistentStorage/tMapPaths.h"

namespace nDRAVI100 {

namespace {

// Numbers of more digits than this are no copy that zembril kept.
constexpr std::size_t kMostNumberDigits = 8;

// The number under which `name` keeps a damaged copy of `path`, or -1 when
// it keeps none: the name is tMapPaths's for that number, to the byte.
int keptNumberOf(const std::string& name, const std::string& path) {
  const std::string first = fileNameOf(tMapPaths::damagedNameFor(path));
  if (name == first) return 0;
  if (!name.starts_with(first + ".") || name.size() > first.size() + 1 + kMostNumberDigits) {
    return -1;
  }
  int n = 0;
  const char* const end = name.data() + name.size();
  const auto [stop, failure] = std::from_chars(name.data() + first.size() + 1, end, n);
  const bool named = failure == std::errc() && stop == end && n > 0 &&
                     fileNameOf(tMapPaths::damagedNameFor(path, n)) == name;
  return named ? n : -1;
}

// The kept copies of damaged map files at `path`, by their number.
std::vector<std::string> keptCopiesOf(const std::string& path) {
  std::vector<std::pair<int, std::string>> found;
  const std::string directory = path.substr(0, path.rfind('/'));
  if (DIR* listing = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (const int n = keptNumberOf(name, path); n >= 0) found.emplace_back(n, name);
    }
    (void)::closedir(listing);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  paths.reserve(found.size());
  for (const auto& [n, name] : found) paths.push_back(tMapPaths::damagedNameFor(path, n));
  return paths;
}

}  // namespace

void checkKeptCopies(const std::string& path, const std::string& root, tFindings& findings) {
  for (const std::string& keptPath : keptCopiesOf(path)) {
    const tMapFileSnapshot kept = readMapFileSnapshot(keptPath, true, true, root, kCountedOnly);
    std::string finding;
    if (kept.state == tMapFileState::whole || kept.state == tMapFileState::damaged) {
      finding = "kept from a damaged map file: " + countsOf(kept) + " readable" +
                (kept.state == tMapFileState::damaged
                     ? " before offset " + std::to_string(kept.scan.offset) + " (" +
                           kept.scan.problem + ")"
                     : "") +
                "; zembril-dump --salvage " + escapeForText(keptPath) + " prints them";
    } else if (kept.state == tMapFileState::notRegular) {
      finding = troubleOf(kept) + ", which zembril never makes: nothing in it can be salvaged";
    } else {
      finding = troubleOf(kept);
    }
    findings.add({"kept-copy", keptPath, fileNameOf(keptPath)}, finding, true);
  }
}

}  // namespace nDRAVI100
