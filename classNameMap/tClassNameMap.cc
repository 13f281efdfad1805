#include "classNameMap/tClassNameMap.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>

#include "classNameMap/tClassNameOrder.h"

namespace nDRAVI100 {

namespace {

// Bytes are kept in blocks of this size. A block is allocated without being
// written, so the pages that a small map never fills cost no memory.
constexpr std::size_t kBlockSize = std::size_t{1024} * 1024;

// The first block is smaller: a map read from its file views its bytes in
// the file's image, and most runs keep only the few bytes of a command or
// two, for which mapping a mebibyte and unmapping it cost more than the rest.
constexpr std::size_t kFirstBlockSize = std::size_t{64} * 1024;

// Blocks after the first few are larger: those are large maps.
constexpr std::size_t kSmallBlocks = 2;

// The empty string as a binding holds it: a view with a null data() marks a
// removed binding, so even the empty path must point somewhere, here at the
// literal's NUL.
constexpr std::string_view kNoBytes = "";  // NOLINT(readability-redundant-string-init)

// A slot holds the upper half of its class's hash, as a tag, above the
// binding's index + 1; four billion bindings would take far more memory than
// a machine has, so the index fits below.
constexpr std::uint64_t kTagBits = 0xFFFFFFFF00000000U;

std::uint64_t hashOf(std::string_view className) {
  return std::hash<std::string_view>{}(className);
}

bool isRemoved(const tBindingView& binding) { return binding.libraryPath.data() == nullptr; }

bool classOrder(const tBindingView& left, const tBindingView& right) {
  return classNameBefore(left.className, right.className);
}

// Sorts `part` by class name. Comparing whole names cost a cache miss on
// their bytes and a call to memcmp for each of the n log n comparisons, most
// of the time that an installer's scrambled adds took. This sorts 16 bytes
// at a time instead: the names of a group that agree on their first
// `offset` bytes are sorted by their next 16 bytes, read once into two
// integers beside a pointer to the name, and each run of names that agree on
// those too is sorted in the same way at `offset` + 16. Beside the 16 bytes
// goes how many of them the name has, so that a name that ends sorts before
// the longer names it begins. Sixteen bytes part most names of a namespace
// at the first or second step, where eight took three or four.
void sortByClassName(std::span<tBindingView> part) {
  constexpr std::size_t kStep = 16;
  // The whole binding rides along: reading each back from `part` in sorted
  // order would cost a cache miss apiece.
  struct tItem {
    std::uint64_t high;  // the name's bytes [offset, offset + 8), big-endian, zero-padded
    std::uint64_t low;   // its bytes [offset + 8, offset + 16), the same way
    tBindingView binding;
  };
  struct tGroup {
    std::size_t begin;
    std::size_t end;
    std::size_t offset;
  };
  std::vector<tItem, tLargeAllocator<tItem>> items;
  items.reserve(part.size());
  for (const tBindingView& binding : part) items.push_back({0, 0, binding});
  // A stack, not recursion: a group ends deeper only as its names go on, and
  // names may be long.
  std::vector<tGroup> groups{{0, items.size(), 0}};
  while (!groups.empty()) {
    const tGroup group = groups.back();
    groups.pop_back();
    const auto first = items.begin() + static_cast<std::ptrdiff_t>(group.begin);
    const auto last = items.begin() + static_cast<std::ptrdiff_t>(group.end);
    // How many of the 16 bytes from the group's offset a name has, compared
    // as the end of those 16 bytes or of the name, whichever comes first.
    const std::size_t stepEnd = group.offset + kStep;
    const auto before = [stepEnd](const tItem& left, const tItem& right) {
      if (left.high != right.high) return left.high < right.high;
      if (left.low != right.low) return left.low < right.low;
      return std::min(left.binding.className.size(), stepEnd) <
             std::min(right.binding.className.size(), stepEnd);
    };
    for (auto item = first; item != last; ++item) {
      const std::string_view name = item->binding.className;
      std::array<unsigned char, kStep> bytes{};
      std::memcpy(bytes.data(), name.data() + group.offset,
                  std::min(kStep, name.size() - group.offset));
      item->high = 0;
      item->low = 0;
      for (std::size_t byte = 0; byte < 8; ++byte) item->high = item->high << 8 | bytes[byte];
      for (std::size_t byte = 8; byte < kStep; ++byte) item->low = item->low << 8 | bytes[byte];
    }
    // A common prefix (a namespace all the names share) needs no sorting.
    const bool allAlike = std::all_of(first, last, [&](const tItem& item) {
      return !before(item, *first) && !before(*first, item);
    });
    if (!allAlike) std::sort(first, last, before);
    // Names that agree on all 16 bytes and go on need the next 16 to part.
    for (std::size_t begin = group.begin; begin < group.end;) {
      std::size_t end = begin + 1;
      while (end < group.end && !before(items[begin], items[end])) ++end;
      if (end - begin > 1 && items[begin].binding.className.size() >= stepEnd) {
        groups.push_back({begin, end, stepEnd});
      }
      begin = end;
    }
  }
  for (std::size_t index = 0; index < items.size(); ++index) part[index] = items[index].binding;
}

// Merges the sorted bindings [front, end) into the sorted ones before them,
// for a front much longer than the rest: a merge step by step would compare
// names all along the front, a million for one add to a map of a million.
// From the last binding of the rest back to its first, the place of each in
// the front is found by steps that double from where the one before went,
// then by bisection, and the front's bindings after it move up in one go.
void mergeIntoFront(tClassNameMap::tBindings& bindings, std::size_t front) {
  const tClassNameMap::tBindings rest(bindings.begin() + static_cast<std::ptrdiff_t>(front),
                                      bindings.end());
  auto at = [&](std::size_t index) {
    return bindings.begin() + static_cast<std::ptrdiff_t>(index);
  };
  std::size_t frontEnd = front;        // the front bindings not yet moved: [0, frontEnd)
  std::size_t free = bindings.size();  // [free, size) is merged
  for (auto binding = rest.rbegin(); binding != rest.rend(); ++binding) {
    std::size_t high = frontEnd;  // every front binding in [high, frontEnd) sorts after it
    std::size_t low = 0;
    for (std::size_t step = 1; high > 0; step *= 2) {
      const std::size_t probe = high > step ? high - step : 0;
      if (!classOrder(*binding, bindings[probe])) {
        low = probe + 1;
        break;
      }
      high = probe;
    }
    const auto place = std::upper_bound(at(low), at(high), *binding, classOrder);
    free = static_cast<std::size_t>(std::move_backward(place, at(frontEnd), at(free)) -
                                    bindings.begin());
    frontEnd = static_cast<std::size_t>(place - bindings.begin());
    bindings[--free] = *binding;
  }
}

}  // namespace

std::string_view tClassNameMap::tByteStore::keep(std::string_view text) {
  if (text.empty()) return kNoBytes;
  if (text.size() > room) {
    // A string of more than a quarter block gets a block of its own, so
    // that no more than a quarter of any block is left unused.
    if (text.size() > kBlockSize / 4) {
      blocks.emplace_back(static_cast<char*>(allocateLarge(text.size())));
      std::memcpy(blocks.back().get(), text.data(), text.size());
      return {blocks.back().get(), text.size()};
    }
    room = blocks.empty() && text.size() <= kFirstBlockSize ? kFirstBlockSize
           : blocks.size() < kSmallBlocks                   ? kBlockSize
                                                            : kLeastHugeAllocation;
    blocks.emplace_back(static_cast<char*>(allocateLarge(room)));
    next = blocks.back().get();
  }
  std::memcpy(next, text.data(), text.size());
  const std::string_view kept(next, text.size());
  next += text.size();
  room -= text.size();
  return kept;
}

void tClassNameMap::tByteStore::swap(tByteStore& other) noexcept {
  blocks.swap(other.blocks);
  std::swap(next, other.next);
  std::swap(room, other.room);
}

tClassNameMap::tClassNameMap(std::initializer_list<tBindingView> initial) {
  for (const tBindingView& binding : initial) assign(binding.className, binding.libraryPath);
}

tClassNameMap::tClassNameMap(const tClassNameMap& other) {
  bindings.reserve(other.size());
  // The walk is in order: each binding sorts last.
  for (const tBindingView& binding : other) {
    append(bytes.keep(binding.className), bytes.keep(binding.libraryPath), true);
  }
}

tClassNameMap& tClassNameMap::operator=(const tClassNameMap& other) {
  if (this != &other) {
    tClassNameMap copy(other);
    swap(copy);
  }
  return *this;
}

tClassNameMap::tClassNameMap(tClassNameMap&& other) noexcept { swap(other); }

tClassNameMap& tClassNameMap::operator=(tClassNameMap&& other) noexcept {
  tClassNameMap taken(std::move(other));
  swap(taken);
  return *this;
}

void tClassNameMap::swap(tClassNameMap& other) noexcept {
  bytes.swap(other.bytes);
  imageOwner.swap(other.imageOwner);
  std::swap(sharedImage, other.sharedImage);
  bindings.swap(other.bindings);
  std::swap(sortedCount, other.sortedCount);
  std::swap(removedCount, other.removedCount);
  slots.swap(other.slots);
}

std::optional<std::string_view> tClassNameMap::find(std::string_view className) const {
  const std::size_t entry = locate(className);
  if (entry == kNowhere || isRemoved(bindings[entry])) return std::nullopt;
  return bindings[entry].libraryPath;
}

std::pair<std::string_view, bool> tClassNameMap::tryAdd(std::string_view className,
                                                        std::string_view libraryPath) {
  const bool last = sortsLast(className);
  const std::size_t entry = last ? kNowhere : locate(className);
  if (entry == kNowhere) {
    append(bytes.keep(className), bytes.keep(libraryPath), last);
    return {bindings.back().libraryPath, true};
  }
  tBindingView& binding = bindings[entry];
  if (!isRemoved(binding)) return {binding.libraryPath, false};
  binding.libraryPath = bytes.keep(libraryPath);
  --removedCount;
  return {binding.libraryPath, true};
}

void tClassNameMap::assign(std::string_view className, std::string_view libraryPath) {
  const bool last = sortsLast(className);
  const std::size_t entry = last ? kNowhere : locate(className);
  if (entry == kNowhere) return append(bytes.keep(className), bytes.keep(libraryPath), last);
  tBindingView& binding = bindings[entry];
  if (isRemoved(binding)) --removedCount;
  binding.libraryPath = bytes.keep(libraryPath);
}

void tClassNameMap::shareImage(const tMapImageKey& /*key*/, std::shared_ptr<const char> owner,
                               std::string_view image) {
  imageOwner = std::move(owner);
  sharedImage = image;
}

bool tClassNameMap::assignViewedAmong(std::string_view className, std::string_view libraryPath) {
  const std::size_t entry = locate(className);
  if (entry == kNowhere) {
    append(className, libraryPath, false);
  } else {
    tBindingView& binding = bindings[entry];
    if (isRemoved(binding)) --removedCount;
    binding.libraryPath = libraryPath;
  }
  return false;
}

bool tClassNameMap::erase(std::string_view className) {
  const std::size_t entry = locate(className);
  if (entry == kNowhere || isRemoved(bindings[entry])) return false;
  bindings[entry].libraryPath = {};
  ++removedCount;
  return true;
}

std::size_t tClassNameMap::eraseBoundTo(std::string_view libraryPath) {
  std::size_t erased = 0;
  for (tBindingView& binding : bindings) {
    if (!isRemoved(binding) && binding.libraryPath == libraryPath) {
      binding.libraryPath = {};
      ++erased;
    }
  }
  removedCount += erased;
  return erased;
}

void tClassNameMap::clear() {
  tClassNameMap empty;
  swap(empty);
}

tClassNameMap::const_iterator tClassNameMap::begin() const {
  settle();
  return bindings.begin();
}

tClassNameMap::const_iterator tClassNameMap::end() const {
  settle();
  return bindings.end();
}

bool tClassNameMap::operator==(const tClassNameMap& other) const {
  return size() == other.size() && std::equal(begin(), end(), other.begin());
}

std::size_t tClassNameMap::locate(std::string_view className) const {
  const auto sortedEnd = bindings.begin() + static_cast<std::ptrdiff_t>(sortedCount);
  const auto found =
      std::lower_bound(bindings.begin(), sortedEnd, tBindingView{className, {}}, classOrder);
  if (found != sortedEnd && found->className == className) {
    return static_cast<std::size_t>(found - bindings.begin());
  }
  if (slots.empty()) return kNowhere;
  const std::size_t mask = slots.size() - 1;
  const std::uint64_t hash = hashOf(className);
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const std::uint64_t held = slots[slot];
    if (held == 0) return kNowhere;
    // The tag saves a visit to the binding and its bytes, a cache miss
    // each, for every slot that holds another class.
    if ((held & kTagBits) != (hash & kTagBits)) continue;
    const std::size_t entry = (held & ~kTagBits) - 1;
    if (bindings[entry].className == className) return entry;
  }
}

void tClassNameMap::append(std::string_view className, std::string_view libraryPath, bool inOrder) {
  // A binding that sorts after every other one (each record of a map file
  // this tool wrote) extends the sorted front; any other one waits behind
  // it, found through the hash table.
  bindings.push_back({className, libraryPath});
  if (inOrder) {
    ++sortedCount;
  } else {
    index(bindings.size() - 1);
  }
}

void tClassNameMap::index(std::size_t entry) {
  // At most half the slots are used, so that a search meets a free one
  // soon; and at least a quarter, so that the table, which a bulk file's
  // adds visit at random, stays as small as it can.
  const std::size_t unsorted = bindings.size() - sortedCount;
  if (unsorted * 2 <= slots.size()) return place(entry);
  slots.assign(std::max<std::size_t>(64, std::bit_ceil(unsorted * 2)), 0);
  for (std::size_t each = sortedCount; each < bindings.size(); ++each) place(each);
}

void tClassNameMap::place(std::size_t entry) {
  const std::size_t mask = slots.size() - 1;
  const std::uint64_t hash = hashOf(bindings[entry].className);
  std::size_t slot = hash & mask;
  while (slots[slot] != 0) slot = (slot + 1) & mask;
  slots[slot] = (hash & kTagBits) | (entry + 1);
}

void tClassNameMap::settle() const {
  if (sortedCount == bindings.size() && removedCount == 0) return;
  // Given back before the sort takes memory of its own.
  slots = {};
  const std::size_t unsorted = bindings.size() - sortedCount;
  if (sortedCount <= unsorted) {
    // Sorting them all costs less than merging into a short front.
    sortByClassName(bindings);
  } else if (unsorted > 0) {
    sortByClassName({bindings.begin() + static_cast<std::ptrdiff_t>(sortedCount), bindings.end()});
    mergeIntoFront(bindings, sortedCount);
  }
  if (removedCount > 0) std::erase_if(bindings, isRemoved);
  sortedCount = bindings.size();
  removedCount = 0;
}

}  // namespace nDRAVI100
