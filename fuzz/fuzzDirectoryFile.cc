// The directory-file reader: the map directory is the first line of the file
// (cut at 4097 bytes, one trailing '/' dropped) with "/etc" appended, or the
// fallback when that line is empty.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "fuzzCheck.h"
#include "persistentStorage/tFileSystemAdapter.h"

using nDRAVI100::tFileSystemAdapter;

namespace {

// A private root, made once, that holds the directory file.
const std::string& root() {
  static const std::string made = [] {
    std::string pattern = "/tmp/zembril-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    std::error_code error;
    std::filesystem::create_directories(pattern + "/etc/tolvane/.mirtal", error);
    FUZZ_CHECK(!error);
    return pattern;
  }();
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)root();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(nDRAVI100::tMapPaths(root()).directoryFile(),
                      std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string line = bytes.substr(0, 4097);
  line.resize(std::min(line.size(), line.find_first_of(std::string("\r\n\0", 3))));
  if (!line.empty() && line.back() == '/') line.pop_back();
  const std::string expected = line.empty()
                                   ? nDRAVI100::tMapPaths(root()).fallbackMapDirectory()
                                   : root() + (line.front() == '/' ? "" : "/") + line + "/etc";

  nDRAVI100::tStatus status = 0;
  FUZZ_CHECK(tFileSystemAdapter::getDRAVIMapDirectory(tFileSystemAdapter::kLinux, status, root()) ==
             expected);
  FUZZ_CHECK(status == 0);
  return 0;
}
