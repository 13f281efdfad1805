#include "classNameMap/tClassNameSort.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
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

constexpr std::size_t kSortStep = 16;
constexpr int kPlaceBits = 32;
constexpr std::uint64_t kPlaceMask = (std::uint64_t{1} << kPlaceBits) - 1;

std::size_t placeOf(const tSortItem& item) {
  return static_cast<std::size_t>(item.lengthAndPlace & kPlaceMask);
}
std::uint64_t lengthOf(const tSortItem& item) { return item.lengthAndPlace >> kPlaceBits; }

// Without a branch on each word: which word decides is as hard to foresee
// as the answer.
bool itemBefore(const tSortItem& left, const tSortItem& right) {
  const bool lowBefore = (left.low < right.low) |
                         ((left.low == right.low) & (left.lengthAndPlace < right.lengthAndPlace));
  return (left.high < right.high) | ((left.high == right.high) & lowBefore);
}

// The same name, as far as one step sees: all but the place agree.
bool itemAlike(const tSortItem& left, const tSortItem& right) {
  return left.high == right.high && left.low == right.low && lengthOf(left) == lengthOf(right);
}

// An item's key is 21 digits: its 16 bytes, its length, then the four bytes
// of its place, so that items alike in all else are ordered as they stood.
constexpr std::size_t kLengthDigit = kSortStep;
constexpr std::size_t kKeyDigits = kSortStep + 1 + kPlaceBits / 8;

// Where a digit of every item is found: one byte of one of its integers.
struct tDigit {
  std::uint64_t tSortItem::*word;
  int shift;

  [[nodiscard]] unsigned of(const tSortItem& item) const {
    return static_cast<unsigned>(item.*word >> shift) & 0xFFU;
  }
};

tDigit digitAt(std::size_t digit) {
  if (digit < 8) return {&tSortItem::high, static_cast<int>(56 - 8 * digit)};
  if (digit < kSortStep) return {&tSortItem::low, static_cast<int>(56 - 8 * (digit - 8))};
  // A length is at most kSortStep + 1: one byte holds it.
  if (digit == kLengthDigit) return {&tSortItem::lengthAndPlace, kPlaceBits};
  return {&tSortItem::lengthAndPlace, static_cast<int>(8 * (kKeyDigits - 1 - digit))};
}

// Returns the first digit at which the items differ, kKeyDigits when
// there is nothing to sort: one item, or names alike in all 16 bytes that
// go on past them.
std::size_t firstDifference(std::span<const tSortItem> items) {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  std::uint64_t rest = 0;
  for (const tSortItem& item : items) {
    high |= item.high ^ items.front().high;
    low |= item.low ^ items.front().low;
    rest |= item.lengthAndPlace ^ items.front().lengthAndPlace;
  }
  if (high != 0) return static_cast<std::size_t>(std::countl_zero(high)) / 8;
  if (low != 0) return 8 + static_cast<std::size_t>(std::countl_zero(low)) / 8;
  if (rest >> kPlaceBits != 0) return kLengthDigit;
  // Names that go on past these bytes are sorted again, places and all, by
  // their next bytes.
  if (rest != 0 && lengthOf(items.front()) <= kSortStep) {
    return kLengthDigit + 1 + static_cast<std::size_t>(std::countl_zero(rest) - kPlaceBits) / 8;
  }
  return kKeyDigits;
}

void sortFewItems(std::span<tSortItem> items) {
  for (std::size_t next = 1; next < items.size(); ++next) {
    const tSortItem item = items[next];
    std::size_t at = next;
    for (; at > 0 && itemBefore(item, items[at - 1]); --at) items[at] = items[at - 1];
    items[at] = item;
  }
}

// Returns the 8 bytes at `bytes` as a big-endian integer.
std::uint64_t bigEndianAt(const char* bytes) {
  std::uint64_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  return word;
}

// Sets `item`'s key to the bytes of `name` from `offset` on, keeping its
// place. Most names have all 16 bytes, which are read where they stand;
// one that ends sooner is padded, without reading past its end.
void readKey(tSortItem& item, std::string_view name, std::size_t offset) {
  const std::size_t left = name.size() - offset;
  if (left >= kSortStep) {
    item.high = bigEndianAt(name.data() + offset);
    item.low = bigEndianAt(name.data() + offset + 8);
  } else {
    std::array<char, kSortStep> bytes{};
    std::memcpy(bytes.data(), name.data() + offset, left);
    item.high = bigEndianAt(bytes.data());
    item.low = bigEndianAt(bytes.data() + 8);
  }
  item.lengthAndPlace = std::uint64_t{std::min(kSortStep + 1, left)} << kPlaceBits | placeOf(item);
}

struct tPart {
  std::size_t begin;
  std::size_t end;
};

// Sorts `items` by their keys. A comparison sort of a bulk file's names
// spent most of its time on comparisons whose outcome the processor could
// not foresee. This distributes the items by the first digit at which
// those of a part differ, so that a prefix all the names of a part share (a
// namespace) costs one pass, not a pass a byte, and then each bucket the
// same way; a part of few items is sorted by insertion. The items are
// swapped into their buckets where they stand: a second array as large
// would be fresh pages, which the kernel clears, and on a virtual machine
// those cost more than the swaps. Such a distribution keeps no order among
// items of one bucket, so the places end the key. `parts` is room for the
// parts still to be sorted, kept from call to call.
void sortItems(std::span<tSortItem> items, std::vector<tPart>& parts) {
  constexpr std::size_t kFewItems = 32;
  constexpr std::size_t kBuckets = 256;
  parts.assign(1, {0, items.size()});
  while (!parts.empty()) {
    const tPart part = parts.back();
    parts.pop_back();
    const std::span<tSortItem> these = items.subspan(part.begin, part.end - part.begin);
    if (these.size() <= kFewItems) {
      sortFewItems(these);
      continue;
    }
    const std::size_t digitIndex = firstDifference(these);
    if (digitIndex == kKeyDigits) continue;
    const tDigit digit = digitAt(digitIndex);
    // Only the buckets from the least digit to the greatest are walked: a
    // part of a hundred names that part at a decimal digit uses ten.
    std::array<std::size_t, kBuckets> ends{};
    unsigned least = kBuckets - 1;
    unsigned most = 0;
    for (const tSortItem& item : these) {
      const unsigned own = digit.of(item);
      ++ends[own];
      least = std::min(least, own);
      most = std::max(most, own);
    }
    std::array<std::size_t, kBuckets> next;  // from `least` to `most`
    std::size_t total = 0;
    for (unsigned bucket = least; bucket <= most; ++bucket) {
      next[bucket] = total;
      total += ends[bucket];
      ends[bucket] = total;
    }
    // Each sweep goes along what is left unplaced of one bucket and swaps
    // each item there into the next free slot of its own, which places it;
    // the item it displaces waits for a later sweep. A step does not wait
    // on the step before it, as carrying the displaced item on would: the
    // processor overlaps the swaps' cache misses. The free slots of a bucket
    // never pass its sweep, so every placed item stays. Once a single
    // bucket is left unplaced, the items left are all of it.
    std::array<std::uint8_t, kBuckets> unplaced{};
    std::size_t unplacedCount = 0;
    for (unsigned bucket = least; bucket <= most; ++bucket) {
      if (next[bucket] != ends[bucket])
        unplaced[unplacedCount++] = static_cast<std::uint8_t>(bucket);
    }
    while (unplacedCount > 1) {
      std::size_t left = 0;
      for (std::size_t each = 0; each < unplacedCount; ++each) {
        const std::uint8_t bucket = unplaced[each];
        for (std::size_t at = next[bucket], end = ends[bucket]; at < end; ++at) {
          std::swap(these[at], these[next[digit.of(these[at])]++]);
        }
        if (next[bucket] != ends[bucket]) unplaced[left++] = bucket;
      }
      unplacedCount = left;
    }
    for (std::size_t bucket = least, begin = 0; bucket <= most; begin = ends[bucket++]) {
      const std::size_t size = ends[bucket] - begin;
      if (size > kFewItems) {
        parts.push_back({part.begin + begin, part.begin + ends[bucket]});
      } else if (size > 1) {
        sortFewItems(these.subspan(begin, size));
      }
    }
  }
}

// The array the sorted bindings from `from` on are gathered into: when all
// of them are sorted, it takes the place of the first, with the same room,
// and no copy back is made. Its pages are faulted in at once.
tClassNameMap::tBindings gatheringRoom(const tClassNameMap::tBindings& bindings, std::size_t from) {
  tClassNameMap::tBindings ordered;
  ordered.reserve(from == 0 ? bindings.capacity() : bindings.size() - from);
  return ordered;
}

// Makes `count` items, zeroed, at the end of the room that `ordered`, still
// empty, has for at least `count` bindings: a second array of their own was
// fresh pages that the kernel cleared, 2.4 MB of them for a bulk file. The
// gather (putInOrder) writes the binding of each item where that item and
// those before it stand, and never where an item still to be read stands:
// the bindings it has written end at byte 32 (at + 1), and the items still
// to be read begin at byte 32 room - 24 count + 24 (at + 1), no sooner as
// count is at most room.
std::span<tSortItem> itemsAtEndOf(tClassNameMap::tBindings& ordered, std::size_t count) {
  static_assert(sizeof(tSortItem) <= sizeof(tBindingView) &&
                alignof(tSortItem) <= alignof(tBindingView));
  char* const room = reinterpret_cast<char*>(ordered.data());
  auto* const first = reinterpret_cast<tSortItem*>(
      room + ordered.capacity() * sizeof(tBindingView) - count * sizeof(tSortItem));
  // Zeroed in the order they stand, the items' lines are in the cache when
  // they are filled, in the scattered order of their prefixes.
  std::uninitialized_value_construct_n(first, count);
  return {first, count};
}

// Puts the bindings from `from` on in the order of `items`, each of which
// holds the place, counted from `from`, of the binding that belongs where
// the item stands, gathering them into `ordered` (itemsAtEndOf). Following
// the cycles of that permutation moved each binding once, but each move
// waited on the cache misses of the one before it, a third of the sort's
// time: gathered, the bindings are fetched independently, asked for well
// ahead.
void putInOrder(tClassNameMap::tBindings& bindings, std::size_t from,
                std::span<const tSortItem> items, tClassNameMap::tBindings& ordered) {
  constexpr std::size_t kAhead = 32;
  const std::span<const tBindingView> part(bindings.begin() + static_cast<std::ptrdiff_t>(from),
                                           bindings.end());
  for (std::size_t at = 0; at < items.size(); ++at) {
    if (at + kAhead < items.size()) __builtin_prefetch(&part[placeOf(items[at + kAhead])]);
    ordered.push_back(part[placeOf(items[at])]);
  }
  if (from == 0) {
    bindings.swap(ordered);
  } else {
    std::copy(ordered.begin(), ordered.end(), bindings.begin() + static_cast<std::ptrdiff_t>(from));
  }
}

// A part of the sort to be done: items [begin, end) whose names agree on
// their first `offset` bytes; `keysRead` when their keys at that offset are
// in the items already.
struct tGroup {
  std::size_t begin;
  std::size_t end;
  std::size_t offset;
  bool keysRead;
};

// The first step when the names share few distinct first 16 bytes, as the
// namespaced names of a bulk file do: each name's prefix is looked up in a
// small table as the bindings are walked in the order they stand, the few
// prefixes are sorted, and a second walk puts each item straight in the
// room of its prefix with its next 16 bytes read, the bytes at hand. A
// distribution a byte at a time took several passes to part such names by
// their namespaces, and the second step then read each name's bytes again
// in sorted order, a cache miss each. Returns false, with nothing done,
// when the names have more prefixes than that pays for: past kMostPrefixes,
// or fewer than kLeastPerPrefix names to a prefix. Otherwise fills `items`
// and `groups`, and sets `repeated` when two names are one.
constexpr std::size_t kMostPrefixes = 4096;
constexpr std::size_t kLeastPerPrefix = 16;

bool sortByPrefixes(std::span<const tBindingView> part, std::span<tSortItem> items,
                    std::vector<tGroup>& groups, bool& repeated) {
  const std::size_t most = std::min(kMostPrefixes, part.size() / kLeastPerPrefix);
  if (most < 2) return false;
  // Open addressing, at most half full: a slot holds a prefix's index + 1.
  const std::size_t slots = std::bit_ceil(2 * most);
  const int slotBits = std::countr_zero(slots);
  std::vector<std::uint32_t> table(slots, 0);
  std::vector<tSortItem> prefixes;  // the keys, with the count in place of the place
  prefixes.reserve(most);
  std::vector<std::uint16_t> prefixOf(part.size());
  static_assert(kMostPrefixes <= 1U << 16);
  for (std::size_t index = 0; index < part.size(); ++index) {
    tSortItem key{0, 0, 0};
    readKey(key, part[index].className, 0);
    const std::uint64_t mixed = (key.high ^ std::rotl(key.low, 29) ^ key.lengthAndPlace) *
                                std::uint64_t{0x9E3779B97F4A7C15};
    std::size_t slot = static_cast<std::size_t>(mixed >> (64 - slotBits));
    for (;; slot = (slot + 1) & (slots - 1)) {
      const std::uint32_t held = table[slot];
      if (held == 0) {
        if (prefixes.size() == most) return false;
        prefixes.push_back(key);
        table[slot] = static_cast<std::uint32_t>(prefixes.size());
        break;
      }
      if (itemAlike(prefixes[held - 1], key)) break;
    }
    const std::uint32_t prefix = table[slot] - 1;
    prefixOf[index] = static_cast<std::uint16_t>(prefix);
    ++prefixes[prefix].lengthAndPlace;
  }
  std::vector<std::uint32_t> order(prefixes.size());
  for (std::uint32_t at = 0; at < order.size(); ++at) order[at] = at;
  // The counts stand below the lengths: they never decide, as no two
  // prefixes are alike.
  std::sort(order.begin(), order.end(), [&](std::uint32_t left, std::uint32_t right) {
    return itemBefore(prefixes[left], prefixes[right]);
  });
  // Where each prefix's items go next, and which prefixes need their next
  // bytes read: those of names that go on, shared by more than one.
  std::vector<std::size_t> next(prefixes.size());
  std::vector<std::uint8_t> goesOn(prefixes.size());
  std::size_t begin = 0;
  for (const std::uint32_t prefix : order) {
    const std::size_t count = placeOf(prefixes[prefix]);
    next[prefix] = begin;
    if (count > 1) {
      if (lengthOf(prefixes[prefix]) > kSortStep) {
        goesOn[prefix] = 1;
        groups.push_back({begin, begin + count, kSortStep, true});
      } else {
        repeated = true;
      }
    }
    begin += count;
  }
  // In the order they stand, so that the items of a prefix come in the
  // order of their places. Each prefix's room is written a few items at a
  // time, hundreds of items apart: a write that found its line gone from
  // the cache waited for it, and the walk with it. The line after the one
  // written is asked for now, well before its turn.
  constexpr std::size_t kRoomAhead = 64 / sizeof(tSortItem) + 1;
  for (std::size_t index = 0; index < part.size(); ++index) {
    const std::uint16_t prefix = prefixOf[index];
    const std::size_t room = next[prefix]++;
    __builtin_prefetch(&items[std::min(room + kRoomAhead, items.size() - 1)], 1);
    tSortItem& item = items[room];
    item.lengthAndPlace = index;
    if (goesOn[prefix] != 0) readKey(item, part[index].className, kSortStep);
  }
  return true;
}

}  // namespace

// Sorts the bindings from `from` on by class name, and bindings of one
// class in the order they stand; returns true when two of them have the
// same class. Comparing whole names cost a cache miss on their bytes and a
// call to memcmp for each comparison, most of the time that an installer's
// scrambled adds took. This sorts 16 bytes at a time instead: the names of a
// group that agree on their first `offset` bytes are sorted by their next
// 16, held in the items, and each run of names that agree on those too and
// go on is sorted in the same way at `offset` + 16. Sixteen bytes part most
// names of a namespace at the first or second step, where eight took three
// or four. The first step goes by a table of prefixes where the names
// share few (see sortByPrefixes).
bool sortByClassName(tClassNameMap::tBindings& bindings, std::size_t from) {
  const std::span<const tBindingView> part(bindings.begin() + static_cast<std::ptrdiff_t>(from),
                                           bindings.end());
  tClassNameMap::tBindings ordered = gatheringRoom(bindings, from);
  const std::span<tSortItem> items = itemsAtEndOf(ordered, part.size());
  bool repeated = false;
  std::vector<tPart> parts;
  // A stack, not recursion: a group ends deeper only as its names go on,
  // and names may be long.
  std::vector<tGroup> groups;
  if (!sortByPrefixes(part, items, groups, repeated)) {
    for (std::size_t index = 0; index < part.size(); ++index) items[index].lengthAndPlace = index;
    groups.push_back({0, items.size(), 0, false});
  }
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
    constexpr std::ptrdiff_t kBindingAhead = 32;
    constexpr std::ptrdiff_t kBytesAhead = 16;
    for (auto item = first; item != last && !group.keysRead; ++item) {
      if (last - item > kBindingAhead) __builtin_prefetch(&part[placeOf(item[kBindingAhead])]);
      if (last - item > kBytesAhead) {
        __builtin_prefetch(part[placeOf(item[kBytesAhead])].className.data() + group.offset);
      }
      readKey(*item, part[placeOf(*item)].className, group.offset);
    }
    sortItems({first, last}, parts);
    // Names that agree on all 16 bytes and go on need the next 16 to part;
    // names that agree and end are the same name.
    for (std::size_t begin = group.begin; begin < group.end;) {
      std::size_t end = begin + 1;
      while (end < group.end && itemAlike(items[begin], items[end])) ++end;
      if (end - begin > 1) {
        if (lengthOf(items[begin]) > kSortStep) {
          groups.push_back({begin, end, group.offset + kSortStep, false});
        } else {
          repeated = true;
        }
      }
      begin = end;
    }
  }
  putInOrder(bindings, from, items, ordered);
  return repeated;
}

}  // namespace nDRAVI100
