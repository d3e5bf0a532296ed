#include "common/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace vm {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}

void advise_huge_pages(void* p, size_t bytes) {
#ifdef MADV_HUGEPAGE
  const auto from = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) / kHugePage * kHugePage;
  const auto to = (reinterpret_cast<uintptr_t>(p) + bytes) / kHugePage * kHugePage;
  // Only advice: without huge pages the memory works the same.
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)p, (void)bytes;
#endif
}

void* allocate_huge(size_t bytes) {
  const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
  advise_huge_pages(p, rounded);
  return p;
}

void* allocate_zeroed_huge(size_t bytes) {
  void* p = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  advise_huge_pages(p, bytes);
  return p;
}

void free_huge(void* p) { std::free(p); }

}  // namespace vm
