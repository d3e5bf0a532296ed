// Storage for the large arrays that are read at random (the code table's
// index, the per-animal arrays of the inbreeding and contribution sweeps).
// With millions of animals such reads miss the address-translation cache
// on nearly every access; backing the array with 2 MiB pages makes them
// several times cheaper. Small arrays use the ordinary allocator.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace vm {

// Raw memory of at least `bytes`, on huge pages where the system allows.
void* allocate_huge(size_t bytes);
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
