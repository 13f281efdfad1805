// The bytes of map file strings, looked at many at a time: the zero bytes
// counted, a NUL looked for, two written classes compared where they stand.
// A load or a check of a large map runs these on every string.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nDRAVI100 {

// Included by the field reader (tFieldReader.h) alone, and with internal
// linkage there, as though written in it: GCC inlines the calls that a
// load makes for every record only then (a load of a large map ran a
// third slower with them external).
namespace {  // NOLINT(cert-dcl59-cpp)

// The high bit of each zero byte of `word`, and no other bit: (b & 0x7F) +
// 0x7F reaches the high bit for every byte b but 0 and 0x80, and or-ing b
// in catches 0x80; no carry crosses into the next byte.
constexpr std::uint64_t zeroByteBits(std::uint64_t word) {
  constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7FU;
  return ~(((word & kLows) + kLows) | word | kLows);
}

// Returns how many of the eight bytes of `word` are zero: each zero byte's
// high bit, moved to its low bit and summed by one multiplication into the
// top byte.
constexpr std::uint32_t zeroBytesOf(std::uint64_t word) {
  return static_cast<std::uint32_t>(((zeroByteBits(word) >> 7) * 0x0101010101010101U) >> 56);
}

// Returns how many of the `count` bytes at `bytes` are zero: a check of a
// large map counts the zeros of every piece it reads, at the speed of
// memory, instead of looking for a NUL in each of its strings. On x86-64,
// whose every processor has SSE2, 64 bytes a round into byte-wide counters
// that are summed before they can overflow; elsewhere sixteen byte-wide
// counters in a loop that compilers turn into vector instructions.
std::uint64_t zeroBytesIn(const char* bytes, std::size_t count) {
  std::uint64_t zeros = 0;
  std::size_t at = 0;
#if defined(__SSE2__)
  const __m128i none = _mm_setzero_si128();
  const auto zerosOf = [&](std::size_t from) {
    return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + from)), none);
  };
  // Four counters, so that each block's count does not wait for the last.
  while (count - at >= 64) {
    __m128i lanes[4] = {none, none, none, none};
    // 255 rounds at most, so that no byte-wide counter wraps.
    const std::size_t end = at + std::min<std::size_t>((count - at) / 64, 255) * 64;
    for (; at < end; at += 64) {
      lanes[0] = _mm_sub_epi8(lanes[0], zerosOf(at));
      lanes[1] = _mm_sub_epi8(lanes[1], zerosOf(at + 16));
      lanes[2] = _mm_sub_epi8(lanes[2], zerosOf(at + 32));
      lanes[3] = _mm_sub_epi8(lanes[3], zerosOf(at + 48));
    }
    for (const __m128i& lane : lanes) {
      const __m128i sums = _mm_sad_epu8(lane, none);
      zeros += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
               static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
  }
#else
  constexpr std::size_t kLanes = 16;
  while (count - at >= kLanes) {
    std::array<std::uint8_t, kLanes> lanes{};
    const std::size_t end = at + std::min<std::size_t>((count - at) / kLanes, 255) * kLanes;
    for (; at < end; at += kLanes) {
      for (std::size_t lane = 0; lane < kLanes; ++lane) {
        lanes[lane] = static_cast<std::uint8_t>(lanes[lane] + (bytes[at + lane] == '\0' ? 1 : 0));
      }
    }
    for (const std::uint8_t lane : lanes) zeros += lane;
  }
#endif
  for (; at < count; ++at) zeros += bytes[at] == '\0' ? 1 : 0;
  return zeros;
}

// Returns true when none of the `count` bytes at `bytes` is zero, sixteen
// at a time with SSE2 (every x86-64 processor has it), else eight at a time
// in a 64-bit word: a call to memchr for each of two million short strings
// cost more than reading them. A last block that would reach past the bytes
// is the last sixteen (or eight) of them instead, read again in part.
inline bool holdsNoNul(const char* bytes, std::size_t count) {
#if defined(__SSE2__)
  // Fewer than sixteen bytes go eight at a time, below.
  if (count >= 16) {
    const __m128i none = _mm_setzero_si128();
    const auto zerosAt = [&](std::size_t at) {
      return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at)), none);
    };
    __m128i zeros = zerosAt(count - 16);
    for (std::size_t at = 0; at + 16 < count; at += 16) zeros = _mm_or_si128(zeros, zerosAt(at));
    return _mm_movemask_epi8(zeros) == 0;
  }
#endif
  std::uint64_t word = 0;
  if (count < 8) {
    for (std::size_t at = 0; at < count; ++at) {
      if (bytes[at] == '\0') return false;
    }
    return true;
  }
  std::uint64_t zeros = 0;
  for (std::size_t at = 0; at + 8 < count; at += 8) {
    std::memcpy(&word, bytes + at, 8);
    zeros |= zeroByteBits(word);
  }
  std::memcpy(&word, bytes + count - 8, 8);
  return (zeros | zeroByteBits(word)) == 0;
}

// Returns true when the `length` bytes at `bytes` are a string as the
// writer puts it: its bytes, none of them NUL, then one NUL.
inline bool isWrittenString(const char* bytes, std::uint32_t length) {
  return length > 0 && bytes[length - 1] == '\0' && holdsNoNul(bytes, length - 1);
}

// Returns true when the class of `leftSize` bytes at `left` sorts before the
// one of `rightSize` bytes at `right`, for a check: each is followed by its
// NUL, and `right` lies after `left` in a buffer that ends at `limit`. The
// NUL after the shorter class ends the comparison, since it sorts before
// every byte; a NUL inside a class makes the answer meaningless, but such a
// file fails the check by its count of zeros anyway. Sixteen bytes a step
// with SSE2 where the buffer has them: the check compares a million
// neighbours that share most of their bytes.
inline bool writtenClassBefore(const char* left, std::size_t leftSize, const char* right,
                               std::size_t rightSize, const char* limit) {
  const std::size_t compared = std::min(leftSize, rightSize) + 1;
  std::size_t at = 0;
#if defined(__SSE2__)
  while (at < compared && 16 <= limit - (right + at)) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right + at));
    const auto differ = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b))) & 0xFFFFU;
    if (differ != 0) {
      const std::size_t first = at + static_cast<std::size_t>(__builtin_ctz(differ));
      return first < compared &&
             static_cast<unsigned char>(left[first]) < static_cast<unsigned char>(right[first]);
    }
    at += 16;
  }
#else
  (void)limit;
#endif
  for (; at < compared; ++at) {
    if (left[at] != right[at]) {
      return static_cast<unsigned char>(left[at]) < static_cast<unsigned char>(right[at]);
    }
  }
  return false;
}

}  // namespace
}  // namespace nDRAVI100
