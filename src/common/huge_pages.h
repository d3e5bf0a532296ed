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

// Large blocks whose pages are kept when they are freed, and moved under
// the next large request (see huge_pages.cpp). Only the program switches
// this on: inside R or Python the host's allocator keeps the memory.
void keep_freed_large_blocks();
// A block of at least `bytes` (all zero bytes with `zeroed`) on huge
// pages, kept pages first; null when the store is off or cannot make it.
void* allocate_large(size_t bytes, bool zeroed);
// Takes back a block of allocate_large(); false for any other pointer.
bool free_large(void* p);
// The bytes of pages kept for the next requests.
size_t kept_large_block_bytes();
// Gives the kept pages back to the system: where the large arrays have
// all been made, pages kept for them would only add to what the many
// small ones after them take.
void give_back_kept_pages();

// Fresh pages faulted in on a helper thread and kept, up to the bytes
// asked for, while the calling thread goes on alone: so that the next
// stage finds in place the memory it would otherwise wait for page by
// page. Nothing happens while the store is off. Ends with the object.
class PagesAhead {
 public:
  PagesAhead();
  ~PagesAhead();
  PagesAhead(const PagesAhead&) = delete;
  PagesAhead& operator=(const PagesAhead&) = delete;
  // Have `bytes` in all faulted in (a total, not more each call); ask only
  // for what the next stage is sure to take.
  void want(size_t bytes);

 private:
  struct Helper;
  std::unique_ptr<Helper> helper_;
};

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
