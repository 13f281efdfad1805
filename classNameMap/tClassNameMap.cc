#include "classNameMap/tClassNameMap.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>

#include "classNameMap/tClassNameOrder.h"
#include "classNameMap/tClassNameSort.h"

namespace nDRAVI100 {

namespace {

// Bytes are kept in blocks of this size. A block is allocated without being
// written, so the pages that a small map never fills cost no memory.
constexpr std::size_t kBlockSize = std::size_t{1024} * 1024;

// The first block is smaller: a map read from its file views its bytes in
// the file's image, and most runs keep only the few bytes of a command or
// two, for which mapping a mebibyte and unmapping it cost more than the rest.
constexpr std::size_t kFirstBlockSize = std::size_t{64} * 1024;

// Blocks after the first few are larger, in huge pages: those are large
// maps.
constexpr std::size_t kSmallBlocks = 2;
constexpr std::size_t kLargeBlockSize = 2 * kHugePageSize;

// Adds that wait unsearched are settled at once when there are as many as
// the bindings before them and at least this many: a file that adds the
// same class over and over must not hold each of its lines.
constexpr std::size_t kLeastWaitingSettled = std::size_t{1} << 20;

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

// In `bindings`, sorted with the entries of one class in the order they
// came, removes all but the first binding of each class that is not
// removed already: the later ones are adds that waited and found the class
// bound, which are taken back from `bindsMade`.
void keepEarliestBindings(tClassNameMap::tBindings& bindings, std::size_t& removedCount,
                          std::size_t& bindsMade) {
  for (std::size_t run = 0; run < bindings.size();) {
    std::size_t end = run + 1;
    while (end < bindings.size() && bindings[end].className == bindings[run].className) ++end;
    bool kept = false;
    for (std::size_t each = run; end - run > 1 && each < end; ++each) {
      if (isRemoved(bindings[each])) continue;
      if (!kept) {
        kept = true;
        continue;
      }
      bindings[each].libraryPath = {};
      ++removedCount;
      --bindsMade;
    }
    run = end;
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
                                                            : kLargeBlockSize;
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
  std::swap(waitingCount, other.waitingCount);
  std::swap(bindsMade, other.bindsMade);
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
    ++bindsMade;
    return {bindings.back().libraryPath, true};
  }
  tBindingView& binding = bindings[entry];
  if (!isRemoved(binding)) return {binding.libraryPath, false};
  binding.libraryPath = bytes.keep(libraryPath);
  --removedCount;
  ++bindsMade;
  return {binding.libraryPath, true};
}

void tClassNameMap::addUnlessBound(std::string_view className, std::string_view libraryPath,
                                   tNameBytes given) {
  if (waitingCount >= std::max(kLeastWaitingSettled, bindings.size() - waitingCount)) settle();
  // Counted now, taken back if the add is dropped.
  ++bindsMade;
  const auto kept = [&](std::string_view text) {
    // Even a lasting empty string is given the map's own bytes: a view with
    // a null data() would mark a removed binding.
    return given == tNameBytes::lasting && !text.empty() ? text : bytes.keep(text);
  };
  if (sortsLast(className)) return append(kept(className), kept(libraryPath), true);
  bindings.push_back({kept(className), kept(libraryPath)});
  ++waitingCount;
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
  // A waiting add of a class bound before it must be dropped, not taken
  // for the class's binding once the earlier one is gone.
  if (waitingCount != 0) settle();
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
  // The count goes on: a store compares it across the clear.
  const std::size_t made = bindCount();
  tClassNameMap empty;
  swap(empty);
  bindsMade = made;
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
  if (waitingCount != 0) indexWaiting();
  return locateIndexed(className, slots.empty() ? 0 : hashOf(className));
}

std::size_t tClassNameMap::locateIndexed(std::string_view className, std::uint64_t hash) const {
  const auto sortedEnd = bindings.begin() + static_cast<std::ptrdiff_t>(sortedCount);
  const auto found =
      std::lower_bound(bindings.begin(), sortedEnd, tBindingView{className, {}}, classOrder);
  if (found != sortedEnd && found->className == className) {
    return static_cast<std::size_t>(found - bindings.begin());
  }
  if (slots.empty()) return kNowhere;
  const std::size_t mask = slots.size() - 1;
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

void tClassNameMap::indexWaiting() const {
  const std::size_t first = bindings.size() - waitingCount;
  waitingCount = 0;
  for (std::size_t entry = first; entry < bindings.size(); ++entry) {
    tBindingView& waiting = bindings[entry];
    const std::uint64_t hash = hashOf(waiting.className);
    const std::size_t found = locateIndexed(waiting.className, hash);
    if (found == kNowhere) {
      index(entry, hash);
      continue;
    }
    // The class has an entry already: the earlier add won, or a removed
    // binding is bound again. The dropped entry stays out of the table
    // until the next walk drops it; a table grown meanwhile finds the
    // earlier entry first, for it was placed first.
    tBindingView& bound = bindings[found];
    if (isRemoved(bound)) {
      bound.libraryPath = waiting.libraryPath;
      --removedCount;
    } else {
      --bindsMade;
    }
    waiting.libraryPath = {};
    ++removedCount;
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
    index(bindings.size() - 1, hashOf(className));
  }
}

void tClassNameMap::index(std::size_t entry, std::uint64_t hash) const {
  // At most half the slots are used, so that a search meets a free one
  // soon; and at least a quarter, so that the table, which a bulk file's
  // adds visit at random, stays as small as it can.
  const std::size_t unsorted = entry + 1 - sortedCount;
  if (unsorted * 2 <= slots.size()) return place(entry, hash);
  slots.assign(std::max<std::size_t>(64, std::bit_ceil(unsorted * 2)), 0);
  for (std::size_t each = sortedCount; each < entry; ++each) {
    place(each, hashOf(bindings[each].className));
  }
  place(entry, hash);
}

void tClassNameMap::place(std::size_t entry, std::uint64_t hash) const {
  const std::size_t mask = slots.size() - 1;
  std::size_t slot = hash & mask;
  while (slots[slot] != 0) slot = (slot + 1) & mask;
  slots[slot] = (hash & kTagBits) | (entry + 1);
}

void tClassNameMap::settle() const {
  if (sortedCount == bindings.size() && removedCount == 0) return;
  // Given back before the sort takes memory of its own.
  slots = {};
  // Only adds that waited can repeat a class: every other binding of a
  // class takes over its entry.
  const bool waited = waitingCount != 0;
  waitingCount = 0;
  const std::size_t unsorted = bindings.size() - sortedCount;
  bool repeated = false;
  if (sortedCount <= unsorted) {
    // Sorting them all costs less than merging into a short front.
    repeated = sortByClassName(bindings);
  } else if (unsorted > 0) {
    sortByClassName(bindings, sortedCount);
    mergeIntoFront(bindings, sortedCount);
    repeated = waited;
  }
  if (repeated) keepEarliestBindings(bindings, removedCount, bindsMade);
  if (removedCount > 0) std::erase_if(bindings, isRemoved);
  sortedCount = bindings.size();
  removedCount = 0;
}

}  // namespace nDRAVI100
