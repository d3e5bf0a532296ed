#include "common/huge_pages.h"

#include <sys/mman.h>

#include <cstdlib>

namespace vm {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}

void* allocate_huge(size_t bytes) {
  const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  // Only advice: without huge pages the memory works the same.
  ::madvise(p, rounded, MADV_HUGEPAGE);
#endif
  return p;
}

void free_huge(void* p) { std::free(p); }

}  // namespace vm
