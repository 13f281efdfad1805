// One map of the class map: class name to library path, both byte strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "classNameMap/tClassNameOrder.h"
#include "os/tLargeAllocator.h"

namespace nDRAVI100 {

// The key to the members of tClassNameMap that let a map view the bytes of
// a map file where they stand. It is defined beside the map file's loader
// (mapFile/tMapFileReader.cc), which alone can make one: a map file is
// written from its image only as right as the records viewed in it.
class tMapImageKey;

// A binding as a map hands it out: views of bytes that the map owns. They
// stay valid until the map is cleared, assigned or destroyed; removing or
// rebinding a class leaves the bytes they show in place.
struct tBindingView {
  std::string_view className;
  std::string_view libraryPath;

  bool operator==(const tBindingView&) const = default;
};

// How a map takes the bytes of a name it is given: as a copy of its own, or
// viewed where they stand, for bytes that stay unchanged for as long as the
// map lives (the pieces of a command file that a map views last until the
// program ends).
enum class tNameBytes { copied, lasting };

// An ordered map with unique keys from class name to library path. Keys are
// compared as std::string_view compares them: byte by byte as unsigned
// values, a shorter key before a longer one that begins with it. That is the
// order the map file is written in and the order every walk visits.
//
// Why not std::map<std::string, std::string>: a map of a million bindings
// cost about 208 bytes and three allocations per binding, and loading one
// was mostly page faults and malloc. Here every byte of a class name or path
// is copied once into large blocks that the map owns, and the bindings are
// one array of views, 32 bytes each:
//  - bindings arriving in ascending order (every map file this tool writes)
//    are appended to the sorted front of the array, with one comparison;
//  - any other new binding is appended behind it and found through a hash
//    table until the next ordered walk sorts it into place;
//  - a binding added by addUnlessBound, which answers nothing, waits behind
//    them unsearched: the next walk sorts it in and drops it when its class
//    was bound before it, and the next search enters it in the hash table
//    first. A bulk file of adds costs a sort and no search;
//  - a removed binding is marked, not moved, and dropped at the same time.
// A walk (begin, end, ==) puts the array in order first; that is the one
// change a const member makes, so a map must not be walked from two
// threads at once.
//
// A map loaded from its file holds the file itself: the loader reads it
// whole into one image that both maps of the file share, and the bindings
// view their strings there. A string a run adds is copied into blocks the
// map owns, the first of 64 KiB, so that an install step that adds one
// class maps no more than it needs. The image, the later blocks, the array
// and the hash table of a large map come from tLargeAllocator, in huge pages
// where the kernel allows, and what a run writes at once is faulted in by
// one madvise: on a virtual machine every page fault is a trip to the
// hypervisor, and loading a million bindings had been mostly page faults.
// A million bindings take the file's size and 32 bytes a binding.
class tClassNameMap {
 public:
  // The array of bindings; its memory may come in huge pages.
  using tBindings = std::vector<tBindingView, tLargeAllocator<tBindingView>>;
  using const_iterator = tBindings::const_iterator;
  using iterator = const_iterator;
  using value_type = tBindingView;

  tClassNameMap() = default;
  // Builds a map of `initial`; of two with the same class the later wins.
  tClassNameMap(std::initializer_list<tBindingView> initial);
  // Builds a map of the pairs in [first, last) (anything with `first` and
  // `second` that converts to std::string_view); the later of two equal
  // classes wins.
  template <typename Iterator>
  tClassNameMap(Iterator first, Iterator last) {
    for (; first != last; ++first) assign(first->first, first->second);
  }
  // Copies the bytes too: the copy owns its own.
  tClassNameMap(const tClassNameMap& other);
  tClassNameMap& operator=(const tClassNameMap& other);
  // A map moved from is empty.
  tClassNameMap(tClassNameMap&& other) noexcept;
  tClassNameMap& operator=(tClassNameMap&& other) noexcept;
  ~tClassNameMap() = default;

  void swap(tClassNameMap& other) noexcept;

  // Returns how many classes are bound.
  [[nodiscard]] std::size_t size() const {
    if (waitingCount != 0) settle();
    return bindings.size() - removedCount;
  }
  [[nodiscard]] bool empty() const { return size() == 0; }

  // Returns the library path bound to `className`, or nothing when the class
  // is not bound. The view holds until the map is cleared or destroyed.
  [[nodiscard]] std::optional<std::string_view> find(std::string_view className) const;

  // Binds `className` to `libraryPath` unless the class is bound already.
  // Returns the path the class is bound to afterwards and whether this call
  // bound it.
  std::pair<std::string_view, bool> tryAdd(std::string_view className,
                                           std::string_view libraryPath);

  // Binds as tryAdd does, but answers nothing, so that nothing need be
  // searched now: whether the class was bound already is settled by the next
  // search or walk, and the earliest of the adds of one class that find it
  // unbound wins, as with tryAdd. Until then each add holds its bytes, even
  // one that will be dropped; adds waiting as many as the bindings before
  // them (and at least a million) are settled at once, so that a file of
  // the same class over and over cannot take more memory than about twice
  // the map and that million. With tNameBytes::lasting it copies nothing.
  void addUnlessBound(std::string_view className, std::string_view libraryPath,
                      tNameBytes given = tNameBytes::copied);

  // Returns how many times tryAdd and addUnlessBound bound a class that was
  // not bound (a copy starts at 0): a run of addUnlessBound changed the map
  // exactly when this grew. Settles the adds that wait.
  [[nodiscard]] std::size_t bindCount() const {
    if (waitingCount != 0) settle();
    return bindsMade;
  }

  // Binds `className` to `libraryPath`, replacing the path it had.
  void assign(std::string_view className, std::string_view libraryPath);

  // Holds `image`, the bytes `owner` keeps alive, for as long as the map
  // holds anything: bindings may then view their strings in it (see
  // assignViewed), and a save writes the records it holds unchanged as
  // they stand (see mapFile/tMapFileWriter.cc). A map holds one image;
  // clear drops it. Only the map file's loader holds the key.
  void shareImage(const tMapImageKey& key, std::shared_ptr<const char> owner,
                  std::string_view image);

  // The image the map holds, or an empty view.
  [[nodiscard]] std::string_view image() const { return sharedImage; }

  // Binds as assign does, but views `className` and `libraryPath` where
  // they stand instead of copying them: they are the two strings of one
  // record that image() holds exactly as the map file's writer writes it,
  // so that a save can write the record from the image as it stands (the
  // writer checks its lengths and NULs again before it does). Returns true
  // when the class sorted after every class bound before, as each record
  // of a map file this tool wrote does; then no search was made, and the
  // call is made here, inline: a load makes a million of them. Only the
  // map file's loader holds the key.
  bool assignViewed(const tMapImageKey& /*key*/, std::string_view className,
                    std::string_view libraryPath) {
    if (!sortsLast(className)) return assignViewedAmong(className, libraryPath);
    bindings.push_back({className, libraryPath});
    ++sortedCount;
    return true;
  }

  // Binds as assignViewed does a class that sorts after every class bound,
  // and compares nothing: for the loader, which has compared the record's
  // class with the one before it in the file, in a map it has filled from
  // empty in the file's order. The map's order rests on it. Only the map
  // file's loader holds the key.
  void appendViewedInOrder(const tMapImageKey& /*key*/, std::string_view className,
                           std::string_view libraryPath) {
    bindings.push_back({className, libraryPath});
    ++sortedCount;
  }

  // Removes the binding of `className`; returns whether there was one.
  bool erase(std::string_view className);

  // Removes every binding whose library path is exactly `libraryPath`;
  // returns how many there were.
  std::size_t eraseBoundTo(std::string_view libraryPath);

  // Removes every binding and frees every byte the map holds.
  void clear();

  // Makes room for `count` bindings in all, so that as many can be bound
  // without the array growing.
  void reserve(std::size_t count) { bindings.reserve(count); }
  // Makes room for `count` more bindings than the map has entries now,
  // adds that wait counted, without settling them.
  void reserveMore(std::size_t count) { bindings.reserve(bindings.size() + count); }

  // The bindings in ascending order of class name. Any change to the map
  // ends the iterators' validity.
  [[nodiscard]] const_iterator begin() const;
  [[nodiscard]] const_iterator end() const;

  [[nodiscard]] bool operator==(const tClassNameMap& other) const;

 private:
  // Copies bytes into blocks that live as long as the map, so that a view
  // of them is never invalidated by later copies.
  class tByteStore {
   public:
    [[nodiscard]] std::string_view keep(std::string_view text);
    void swap(tByteStore& other) noexcept;

   private:
    std::vector<tLargeBlock> blocks;
    char* next = nullptr;
    std::size_t room = 0;
  };

  static constexpr std::size_t kNowhere = static_cast<std::size_t>(-1);

  // Returns the index of the entry for `className`, removed or not, or
  // kNowhere; enters the adds that wait in the hash table first.
  std::size_t locate(std::string_view className) const;
  // locate among the sorted and the indexed entries alone, for `hash`.
  std::size_t locateIndexed(std::string_view className, std::uint64_t hash) const;
  // Enters each add that waits in the hash table, in the order they came,
  // or drops it when its class has an entry: a removed entry takes its path.
  void indexWaiting() const;
  // Returns true when `className` sorts after every entry and none waits to
  // be sorted: then it has no entry, and appending it keeps the order. One
  // comparison, where a search would take twenty for a million bindings.
  bool sortsLast(std::string_view className) const {
    return sortedCount == bindings.size() &&
           (sortedCount == 0 || classNameBefore(bindings.back().className, className));
  }
  // assignViewed for a class that does not sort last; returns false.
  bool assignViewedAmong(std::string_view className, std::string_view libraryPath);
  // Appends a binding for a class that has no entry yet, its bytes kept
  // already or in the image; `inOrder` when it sorts last.
  void append(std::string_view className, std::string_view libraryPath, bool inOrder);
  // Enters the unsorted entry `entry`, whose class hashes to `hash`, in the
  // hash table, growing it when needed; the entries after it wait.
  void index(std::size_t entry, std::uint64_t hash) const;
  void place(std::size_t entry, std::uint64_t hash) const;
  // Sorts the unsorted entries into place and drops the removed ones.
  void settle() const;

  tByteStore bytes;
  std::shared_ptr<const char> imageOwner;
  std::string_view sharedImage;
  // [0, sortedCount) is in ascending order; the rest is in the order the
  // bindings came, its last waitingCount entries the adds of addUnlessBound
  // that wait unsearched, which may repeat a class bound before them. A
  // removed entry keeps its class name, for the searches, and has a library
  // path whose data() is null.
  mutable tBindings bindings;
  mutable std::size_t sortedCount = 0;
  mutable std::size_t removedCount = 0;
  mutable std::size_t waitingCount = 0;
  // Counted when an add is made, and taken back when a waiting add is
  // dropped: see bindCount.
  mutable std::size_t bindsMade = 0;
  // Open addressing over the unsorted entries: 0 is a free slot, any other
  // value an entry's index + 1 with a tag from its hash. The size is a power
  // of two or 0.
  mutable std::vector<std::uint64_t, tLargeAllocator<std::uint64_t>> slots;
};

}  // namespace nDRAVI100
