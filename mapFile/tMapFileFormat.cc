// What fits a map file, and how large the file of given maps is; the
// layout itself: tMapFileFormat.h.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "mapFile/tMapFile.h"
#include "mapFile/tMapFileFormat.h"

namespace nDRAVI100 {

bool fitsMapFileFormat(const tClassNameMap& map) {
  constexpr std::size_t kMostWords = std::numeric_limits<std::uint32_t>::max();
  if (map.size() > kMostWords) return false;
  return std::all_of(map.begin(), map.end(), [](const tBindingView& binding) {
    return binding.className.size() < kMostWords && binding.libraryPath.size() < kMostWords;
  });
}

std::uint64_t mapFileSize(const tClassNameMap& first, const tClassNameMap* second) {
  std::uint64_t size = kMapFileHeadSize;
  for (const tClassNameMap* map : {&first, second}) {
    if (map == nullptr) continue;
    // A count, then per record two lengths and two strings with their NULs.
    size += 4;
    for (const auto& [className, libraryPath] : *map) {
      size += 10 + className.size() + libraryPath.size();
    }
  }
  return size;
}

}  // namespace nDRAVI100
