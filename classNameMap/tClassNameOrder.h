// The order of class names: in a map, in a map file, in every walk.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace nDRAVI100 {

// Returns true when `left` sorts before `right`: byte by byte as unsigned
// values, a shorter name before a longer one that begins with it, exactly
// as std::string_view compares. Neighbouring names share most of their
// bytes (a namespace, a common stem), and a call to memcmp for each of the
// million comparisons that loading and checking a large map make cost more
// than comparing them in place, sixteen bytes a step.
inline bool classNameBefore(std::string_view left, std::string_view right) {
  const std::size_t common = std::min(left.size(), right.size());
  const auto bigEndianAt = [](std::string_view name, std::size_t at) {
    std::uint64_t word = 0;
    std::memcpy(&word, name.data() + at, 8);
    return std::endian::native == std::endian::little ? __builtin_bswap64(word) : word;
  };
  // Sixteen bytes a step, so that the loop ends after as few, and as
  // foreseeable, turns as it can. A last step that would reach past the
  // shorter name takes its last sixteen bytes instead: the bytes it reads
  // again are equal, so the first difference decides either way.
  if (common >= 16) {
    for (std::size_t at = 0;; at += 16) {
      const std::size_t step = std::min(at, common - 16);
      const std::uint64_t a = bigEndianAt(left, step);
      const std::uint64_t b = bigEndianAt(right, step);
      const std::uint64_t c = bigEndianAt(left, step + 8);
      const std::uint64_t d = bigEndianAt(right, step + 8);
      if (a != b || c != d) return a != b ? a < b : c < d;
      if (step == common - 16) break;
    }
  } else if (common >= 8) {
    const std::uint64_t a = bigEndianAt(left, 0);
    const std::uint64_t b = bigEndianAt(right, 0);
    const std::uint64_t c = bigEndianAt(left, common - 8);
    const std::uint64_t d = bigEndianAt(right, common - 8);
    if (a != b || c != d) return a != b ? a < b : c < d;
  } else {
    for (std::size_t at = 0; at < common; ++at) {
      if (left[at] != right[at]) {
        return static_cast<unsigned char>(left[at]) < static_cast<unsigned char>(right[at]);
      }
    }
  }
  return left.size() < right.size();
}

}  // namespace nDRAVI100
