// Memory for the large arrays of a map, which the kernel may back with huge
// pages.
#pragma once

#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace nDRAVI100 {

// The size of a huge page on x86-64, and the least allocation that asks for
// them: a smaller one would clear 2 MiB for a few pages' worth of data.
// Larger ones are rounded up to whole huge pages, at worst nearly doubled.
// Even that costs no more than small pages: the kernel clears and maps a
// huge page for about half of what the same bytes cost in small ones (0.15
// against 0.28 ms a megabyte on a virtual machine), and random reads of it
// miss the TLB less. A bulk file's 100,000 adds, whose arrays are 2.4 to
// 3.5 MB, ran a millisecond faster than with them in small pages.
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
constexpr std::size_t kLeastHugeAllocation = kHugePageSize;

// Blocks whose first bytes are written at once have those faulted in with
// one system call from this many on (see allocateLarge).
constexpr std::size_t kLeastPopulatedAllocation = std::size_t{256} << 10;

// Allocates `size` bytes, unwritten. From kLeastHugeAllocation on, the block
// is aligned to a huge page and the kernel is asked to back it with huge
// pages, where it leaves that to the program: a page fault costs about as
// much for 2 MiB as for 4 KiB, and loading a million bindings was mostly
// page faults. The first `writtenAtOnce` bytes, which the caller is about
// to write, are faulted in by one madvise from kLeastPopulatedAllocation
// on: under virtualization each page fault is a trip to the hypervisor, and
// a bulk file of 100,000 adds spent a third of its time on them. Throws
// std::bad_alloc when there is no memory, as new does. The block is given
// back with std::free.
inline void* allocateLarge(std::size_t size, std::size_t writtenAtOnce = 0) {
  const bool huge = size >= kLeastHugeAllocation;
  const std::size_t rounded = huge ? (size + kHugePageSize - 1) & ~(kHugePageSize - 1) : size;
  void* block = huge ? std::aligned_alloc(kHugePageSize, rounded) : std::malloc(size);
  if (block == nullptr) throw std::bad_alloc();
  // Only advice: where it is refused, ordinary pages serve.
  if (huge) (void)::madvise(block, rounded, MADV_HUGEPAGE);
  if (writtenAtOnce >= kLeastPopulatedAllocation) {
    // madvise takes whole pages: those that lie wholly in the bytes.
    constexpr std::size_t kPage = 4096;
    const std::size_t bytes = std::min(writtenAtOnce, size);
    const std::size_t skip = (kPage - reinterpret_cast<std::uintptr_t>(block) % kPage) % kPage;
    // Only advice, too: a kernel before 5.14 faults the pages in one by one.
    if (bytes > skip + kPage) {
      (void)::madvise(static_cast<char*>(block) + skip, (bytes - skip) & ~(kPage - 1),
                      MADV_POPULATE_WRITE);
    }
  }
  return block;
}

// Has the C library keep the memory a run frees until the run ends, instead
// of giving the top of its heap back to the kernel whenever enough of it
// lies free: a run lasts milliseconds, and its end gives everything back at
// once. An install step gave back its file image, its bindings and the
// writer's buffer a system call at a time, some 20 µs of its 2 ms. Blocks
// of 128 KiB and more come from mmap and are unmapped as they are freed,
// so a long command file holds no more at its peak than before.
inline void keepFreedMemoryUntilExit() {
  constexpr int kNeverTrim = 1 << 30;
  (void)::mallopt(M_TRIM_THRESHOLD, kNeverTrim);
}

// Owns a block of allocateLarge, or of malloc, and gives it back with
// std::free.
struct tFreeBlock {
  void operator()(char* block) const { std::free(block); }
};
using tLargeBlock = std::unique_ptr<char, tFreeBlock>;

// An allocator for std::vector through allocateLarge.
template <typename T>
struct tLargeAllocator {
  using value_type = T;

  tLargeAllocator() = default;
  template <typename U>
  explicit tLargeAllocator(const tLargeAllocator<U>& /*other*/) {}

  // What a vector allocates it fills soon: it copies its elements into the
  // new block at once, and a run that grows it past that goes on adding (a
  // load reserves room for a few more bindings than it reads, so that a run
  // that adds one or two to a large map does not grow it).
  T* allocate(std::size_t count) {
    return static_cast<T*>(allocateLarge(count * sizeof(T), count * sizeof(T)));
  }

  void deallocate(T* block, std::size_t /*count*/) { std::free(block); }

  template <typename U>
  bool operator==(const tLargeAllocator<U>& /*other*/) const {
    return true;
  }
};

}  // namespace nDRAVI100
