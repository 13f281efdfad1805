// Memory for the large arrays of a map, which the kernel may back with huge
// pages.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace nDRAVI100 {

// The size of a huge page on x86-64, and the least allocation that asks for
// them: a smaller one would clear 2 MiB for a few pages' worth of data.
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
constexpr std::size_t kLeastHugeAllocation = 2 * kHugePageSize;

// Allocates `size` bytes, unwritten. From kLeastHugeAllocation on, the block
// is aligned to a huge page and the kernel is asked to back it with huge
// pages, where it leaves that to the program: a page fault costs about as
// much for 2 MiB as for 4 KiB, and loading a million bindings was mostly
// page faults. Throws std::bad_alloc when there is no memory, as new does.
// The block is given back with std::free.
inline void* allocateLarge(std::size_t size) {
  const bool huge = size >= kLeastHugeAllocation;
  const std::size_t rounded = huge ? (size + kHugePageSize - 1) & ~(kHugePageSize - 1) : size;
  void* block = huge ? std::aligned_alloc(kHugePageSize, rounded) : std::malloc(size);
  if (block == nullptr) throw std::bad_alloc();
  // Only advice: where it is refused, ordinary pages serve.
  if (huge) (void)::madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}

// An allocator for std::vector through allocateLarge.
template <typename T>
struct tLargeAllocator {
  using value_type = T;

  tLargeAllocator() = default;
  template <typename U>
  explicit tLargeAllocator(const tLargeAllocator<U>& /*other*/) {}

  T* allocate(std::size_t count) { return static_cast<T*>(allocateLarge(count * sizeof(T))); }
  void deallocate(T* block, std::size_t /*count*/) { std::free(block); }

  template <typename U>
  bool operator==(const tLargeAllocator<U>& /*other*/) const {
    return true;
  }
};

}  // namespace nDRAVI100
