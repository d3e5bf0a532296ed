// Storage on 2 MiB pages for the code table's large arrays, which are read
// at random (its key index, its key records, its taken-slot bits): with
// millions of codes such reads miss the address-translation cache on
// nearly every access, and larger pages make those misses rarer. The pages
// are only asked for; where the system has none the memory works the
// same. Small arrays use the ordinary allocator.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace vm {

// Raw memory of at least `bytes`, on huge pages where the system allows.
void* allocate_huge(size_t bytes);
// Asks for huge pages under the whole 2 MiB pages of [p, p + bytes), which
// nothing should have touched yet (pages already there stay small).
void advise_huge_pages(void* p, size_t bytes);
// The same, all zero bytes: memory the system hands over fresh is zero
// already, so a large block is not written over once more.
void* allocate_zeroed_huge(size_t bytes);
void free_huge(void* p);

// Arrays from this size on get huge pages.
inline constexpr size_t kHugeThreshold = size_t{4} << 20;

template <class T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) {}

  T* allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const size_t bytes = n * sizeof(T);
    if (bytes < kHugeThreshold) return std::allocator<T>().allocate(n);
    return static_cast<T*>(allocate_huge(bytes));
  }
  void deallocate(T* p, size_t n) {
    if (n * sizeof(T) < kHugeThreshold) {
      std::allocator<T>().deallocate(p, n);
    } else {
      free_huge(p);
    }
  }
  template <class U>
  bool operator==(const HugePageAllocator<U>&) const {
    return true;
  }
};

template <class T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace vm
