#include "classNameMap/tClassNameSort.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace nDRAVI100 {

namespace {

// What the sort of class names orders: the name's bytes [offset,
// offset + 16) read once into two integers, big-endian and zero-padded, so
// that comparing the integers compares the bytes as unsigned values; beside
// them how many of those 16 bytes the name has (17 when it goes on past
// them), so that a name that ends sorts before the longer names it begins,
// above the binding's place in the part sorted. The item holds the place,
// not the binding: half the bytes to move, and the bindings are put in
// order once, at the end.
struct tSortItem {
  std::uint64_t high;
  std::uint64_t low;
  std::uint64_t lengthAndPlace;
};
using tSortItems = std::vector<tSortItem, tLargeAllocator<tSortItem>>;

constexpr std::size_t kSortStep = 16;
constexpr int kPlaceBits = 32;
constexpr std::uint64_t kPlaceMask = (std::uint64_t{1} << kPlaceBits) - 1;

std::size_t placeOf(const tSortItem& item) {
  return static_cast<std::size_t>(item.lengthAndPlace & kPlaceMask);
}
std::uint64_t lengthOf(const tSortItem& item) { return item.lengthAndPlace >> kPlaceBits; }

bool itemBefore(const tSortItem& left, const tSortItem& right) {
  if (left.high != right.high) return left.high < right.high;
  if (left.low != right.low) return left.low < right.low;
  return left.lengthAndPlace < right.lengthAndPlace;
}

// The same name, as far as one step sees: all but the place agree.
bool itemAlike(const tSortItem& left, const tSortItem& right) {
  return left.high == right.high && left.low == right.low && lengthOf(left) == lengthOf(right);
}

// An item's key is 17 digits: its 16 bytes, then its length.
constexpr std::size_t kKeyDigits = kSortStep + 1;

unsigned digitOf(const tSortItem& item, std::size_t digit) {
  if (digit < 8) return static_cast<unsigned>(item.high >> (56 - 8 * digit)) & 0xFFU;
  if (digit < kSortStep) return static_cast<unsigned>(item.low >> (56 - 8 * (digit - 8))) & 0xFFU;
  return static_cast<unsigned>(lengthOf(item));
}

// Returns the first digit at which the items differ, kKeyDigits when
// they are all alike.
std::size_t firstDifference(std::span<const tSortItem> items) {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  std::uint64_t length = 0;
  for (const tSortItem& item : items) {
    high |= item.high ^ items.front().high;
    low |= item.low ^ items.front().low;
    length |= lengthOf(item) ^ lengthOf(items.front());
  }
  if (high != 0) return static_cast<std::size_t>(std::countl_zero(high)) / 8;
  if (low != 0) return 8 + static_cast<std::size_t>(std::countl_zero(low)) / 8;
  return length != 0 ? kSortStep : kKeyDigits;
}

// Sorts `items` by their keys, keeping alike ones in the order they came:
// the order of places, which they come in. A comparison sort of a bulk
// file's names spent most of its time on comparisons whose outcome the
// processor could not foresee. This distributes the items by the first
// digit at which those of a part differ, so that a prefix all the names of
// a part share (a namespace) costs one pass, not a pass a byte, and then
// each bucket the same way; a part of few items is sorted by insertion.
// `spare` has room for as many items.
void sortItems(std::span<tSortItem> items, std::span<tSortItem> spare) {
  constexpr std::size_t kFewItems = 32;
  struct tPart {
    std::size_t begin;
    std::size_t end;
  };
  std::vector<tPart> parts{{0, items.size()}};
  while (!parts.empty()) {
    const tPart part = parts.back();
    parts.pop_back();
    const std::span<tSortItem> these = items.subspan(part.begin, part.end - part.begin);
    if (these.size() <= kFewItems) {
      for (std::size_t next = 1; next < these.size(); ++next) {
        const tSortItem item = these[next];
        std::size_t at = next;
        for (; at > 0 && itemBefore(item, these[at - 1]); --at) these[at] = these[at - 1];
        these[at] = item;
      }
      continue;
    }
    const std::size_t digit = firstDifference(these);
    if (digit == kKeyDigits) continue;
    std::array<std::size_t, 257> starts{};
    for (const tSortItem& item : these) ++starts[digitOf(item, digit) + 1];
    for (std::size_t bucket = 1; bucket < starts.size(); ++bucket)
      starts[bucket] += starts[bucket - 1];
    std::array<std::size_t, 257> next = starts;
    const std::span<tSortItem> out = spare.subspan(part.begin, these.size());
    for (const tSortItem& item : these) out[next[digitOf(item, digit)]++] = item;
    std::copy(out.begin(), out.end(), these.begin());
    for (std::size_t bucket = 0; bucket + 1 < starts.size(); ++bucket) {
      if (starts[bucket + 1] - starts[bucket] > 1) {
        parts.push_back({part.begin + starts[bucket], part.begin + starts[bucket + 1]});
      }
    }
  }
}

}  // namespace

// Sorts `part` by class name, and bindings of one class in the order they
// stand in `part`; returns true when two bindings have the same class.
// Comparing whole names cost a cache miss on their bytes and a call to
// memcmp for each comparison, most of the time that an installer's
// scrambled adds took. This sorts 16 bytes at a time instead: the names of a
// group that agree on their first `offset` bytes are sorted by their next
// 16, held in the items, and each run of names that agree on those too and
// go on is sorted in the same way at `offset` + 16. Sixteen bytes part most
// names of a namespace at the first or second step, where eight took three
// or four.
bool sortByClassName(std::span<tBindingView> part) {
  struct tGroup {
    std::size_t begin;
    std::size_t end;
    std::size_t offset;
  };
  tSortItems items(part.size());
  for (std::size_t index = 0; index < part.size(); ++index) items[index].lengthAndPlace = index;
  bool repeated = false;
  {
    tSortItems spare(part.size());
    // A stack, not recursion: a group ends deeper only as its names go on,
    // and names may be long.
    std::vector<tGroup> groups{{0, items.size(), 0}};
    while (!groups.empty()) {
      const tGroup group = groups.back();
      groups.pop_back();
      const auto first = items.begin() + static_cast<std::ptrdiff_t>(group.begin);
      const auto last = items.begin() + static_cast<std::ptrdiff_t>(group.end);
      // Past the first step a group's names come in sorted order, scattered
      // in memory: reading each where it stands waited on a cache miss for
      // the binding and one for its bytes, most of the sort's time. Each is
      // asked for some items ahead: the binding far ahead, its bytes nearer,
      // once the binding has come.
      constexpr std::ptrdiff_t kBindingAhead = 16;
      constexpr std::ptrdiff_t kBytesAhead = 8;
      for (auto item = first; item != last; ++item) {
        if (last - item > kBindingAhead) __builtin_prefetch(&part[placeOf(item[kBindingAhead])]);
        if (last - item > kBytesAhead) {
          __builtin_prefetch(part[placeOf(item[kBytesAhead])].className.data() + group.offset);
        }
        const std::string_view name = part[placeOf(*item)].className;
        const std::size_t left = name.size() - group.offset;
        std::array<char, kSortStep> bytes{};
        std::memcpy(bytes.data(), name.data() + group.offset, std::min(kSortStep, left));
        std::uint64_t high = 0;
        std::uint64_t low = 0;
        std::memcpy(&high, bytes.data(), 8);
        std::memcpy(&low, bytes.data() + 8, 8);
        if constexpr (std::endian::native == std::endian::little) {
          high = __builtin_bswap64(high);
          low = __builtin_bswap64(low);
        }
        item->high = high;
        item->low = low;
        item->lengthAndPlace =
            std::uint64_t{std::min(kSortStep + 1, left)} << kPlaceBits | placeOf(*item);
      }
      sortItems({first, last}, spare);
      // Names that agree on all 16 bytes and go on need the next 16 to part;
      // names that agree and end are the same name.
      for (std::size_t begin = group.begin; begin < group.end;) {
        std::size_t end = begin + 1;
        while (end < group.end && itemAlike(items[begin], items[end])) ++end;
        if (end - begin > 1) {
          if (lengthOf(items[begin]) > kSortStep) {
            groups.push_back({begin, end, group.offset + kSortStep});
          } else {
            repeated = true;
          }
        }
        begin = end;
      }
    }
  }
  // The spare items are given back before the bindings are gathered.
  const tClassNameMap::tBindings sorted = [&] {
    tClassNameMap::tBindings gathered;
    gathered.reserve(items.size());
    for (const tSortItem& item : items) gathered.push_back(part[placeOf(item)]);
    return gathered;
  }();
  std::copy(sorted.begin(), sorted.end(), part.begin());
  return repeated;
}

}  // namespace nDRAVI100
