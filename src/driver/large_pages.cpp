// The program's large arrays on 2 MiB pages.
//
// A run over millions of animals allocates arrays of tens of megabytes
// (parents, F and D, the new numbering, the period sums) that are written
// once and then read at random. On 4 KiB pages each first touch is a page
// fault, costly in a virtual machine, and the random reads keep missing
// the address-translation cache: on default-10m, INBREED took 6.4 s
// against 4.1 s on huge pages, the periods 3.1 against 2.0. So every
// allocation from kHugeThreshold on asks for huge pages. Those blocks come
// from the store of kept pages (common/huge_pages.h), which saves faulting
// the pages of each stage's arrays in afresh, or from malloc where the
// store cannot make them; delete tells the two apart.
//
// Only the program replaces the allocator: the library inside R or Python
// leaves its host's allocator alone. The sanitizers bring their own.
#include <cstdlib>
#include <new>

#include "common/huge_pages.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

namespace {
// Before the first large block can be asked for.
const bool kept_on = (vm::keep_freed_large_blocks(), true);
}  // namespace

void* operator new(std::size_t size) {
  for (;;) {
    if (size >= vm::kHugeThreshold) {
      if (void* p = vm::allocate_large(size, false)) return p;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
      if (size >= vm::kHugeThreshold) vm::advise_huge_pages(p, size);
      return p;
    }
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void operator delete(void* p) noexcept {
  if (!vm::free_large(p)) std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  if (!vm::free_large(p)) std::free(p);
}

#endif
