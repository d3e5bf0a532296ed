#include "common/huge_pages.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace vm {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;

size_t whole_huge_pages(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// Large blocks whose pages outlive them. A run allocates its large arrays
// stage after stage: on default-10m 3.3 GB of them one after another, at
// most 1.3 GB at once. Memory given back to the system and asked for again
// is cleared again, and in a virtual machine that hands freed memory to its
// host, backed again by the host: a fresh GB cost 1.8-2.4 s there against
// 0.1 s to write a GB already in place. So the pages of a freed block are
// kept, and moved under the next large request by its page tables
// (mremap: nothing is copied, huge pages stay whole). A request takes
// kept pages before fresh ones, so the large blocks never hold more
// memory at once than at their peak without the store, but for pages
// faulted in ahead (PagesAhead) for requests about to come. Pages kept
// while the process grows by other means (small blocks, pages touched for
// the first time) would add to a new peak: they go back once it grows past
// the most it held at an earlier request, and once the program's large
// arrays are made (give_back_kept_pages).
//
// Every block and piece starts on a huge page and is whole huge pages
// long. A block is made of pieces, each one mapping of the system, as
// mremap moves only within one mapping; what is kept is the pieces.
class KeptBlocks {
 public:
  // Under a limit on the address space or the data size, a block mapped
  // while kept pages are held could fail where the plain allocator would
  // not: there the store stays off.
  void switch_on() {
    rlimit as{}, data{};
    const bool unlimited = ::getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur == RLIM_INFINITY &&
                           ::getrlimit(RLIMIT_DATA, &data) == 0 && data.rlim_cur == RLIM_INFINITY;
    if (unlimited) on_.store(true, std::memory_order_relaxed);
  }
  bool on() const { return on_.load(std::memory_order_relaxed); }

  void* allocate(size_t size, bool zeroed) {
    if (!on() || size == 0 || size > SIZE_MAX / 2) return nullptr;
    const size_t bytes = whole_huge_pages(size);
    std::lock_guard lock(mutex_);
    give_back_past_the_most();
    if (live_count_ + kept_count_ + 2 > live_.size()) return nullptr;
    if (void* p = in_place(bytes, size, zeroed)) return p;
    return moved_under_fresh(bytes, size, zeroed);
  }

  // False when p is not a block of the store.
  bool release(void* p) {
    if (!on() || p == nullptr || reinterpret_cast<uintptr_t>(p) % kHugePage != 0) return false;
    std::lock_guard lock(mutex_);
    return keep_pieces_of(static_cast<char*>(p));
  }

  size_t kept_bytes() const { return kept_bytes_.load(std::memory_order_relaxed); }
  // All kept pages back; what the process holds now is the most it has
  // held from here on.
  void give_back() {
    std::lock_guard lock(mutex_);
    give_back_locked();
    most_resident_ = resident_bytes();
  }

  // Fresh pages of `bytes` (whole huge pages) written once and kept;
  // false when they cannot be had.
  bool fault_in(size_t bytes) {
    if (!on()) return false;
    char* at = map_fresh(bytes);
    if (at == nullptr) return false;
    advise_huge_pages(at, bytes);
    for (size_t i = 0; i < bytes; i += 4096) at[i] = 0;  // the writes fault the pages in
    std::lock_guard lock(mutex_);
    if (kept_count_ == kept_.size()) {
      ::munmap(at, bytes);
      return false;
    }
    keep(Piece{at, bytes, nullptr});
    most_resident_ = std::max(most_resident_, resident_bytes());
    return true;
  }

 private:
  struct Piece {
    char* at = nullptr;
    size_t bytes = 0;
    char* block = nullptr;  // the start of the block it belongs to
  };

  // The front of the smallest kept piece that holds the whole block.
  void* in_place(size_t bytes, size_t size, bool zeroed) {
    size_t best = kept_count_;
    for (size_t k = 0; k < kept_count_; ++k)
      if (kept_[k].bytes >= bytes && (best == kept_count_ || kept_[k].bytes < kept_[best].bytes)) best = k;
    if (best == kept_count_) return nullptr;
    char* at = kept_[best].at;
    take_kept(best, bytes, at);
    live_[live_count_++] = Piece{at, bytes, at};
    if (zeroed) std::memset(at, 0, size);
    return at;
  }

  // A fresh block with kept pieces moved under its front, largest first.
  void* moved_under_fresh(size_t bytes, size_t size, bool zeroed) {
    char* at = map_fresh(bytes);
    if (at == nullptr) {  // the kept pages may be what stands in the way
      give_back_locked();
      if ((at = map_fresh(bytes)) == nullptr) return nullptr;
    }
    size_t filled = 0;
    while (filled < bytes && kept_count_ > 0) {
      const size_t k = largest_kept();
      const size_t take = std::min(kept_[k].bytes, bytes - filled);
      char* from = kept_[k].at + kept_[k].bytes - take;
      if (::mremap(from, take, take, MREMAP_MAYMOVE | MREMAP_FIXED, at + filled) == MAP_FAILED) {
        // The target may be gone: fresh pages there instead, or no block.
        if (::mmap(at + filled, bytes - filled, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
                   0) == MAP_FAILED) {
          keep_pieces_of(at);
          ::munmap(at + filled, bytes - filled);
          return nullptr;
        }
        break;
      }
      take_kept(k, take, from);
      if (zeroed) std::memset(at + filled, 0, std::min(take, size - std::min(size, filled)));
      live_[live_count_++] = Piece{at + filled, take, at};
      filled += take;
    }
    add_fresh_pieces(at, filled, bytes, size);
    return at;
  }

  // The fresh rest of a block from `filled` on: huge pages under the
  // whole huge pages of the request, small ones in its last part, so that
  // writing the request's end faults in no more than it holds. Each part
  // is a mapping of its own, so a piece of its own.
  void add_fresh_pieces(char* at, size_t filled, size_t bytes, size_t size) {
    if (filled == bytes) return;
    const size_t huge_end = std::max(filled, size / kHugePage * kHugePage);
    if (huge_end > filled) {
      advise_huge_pages(at + filled, huge_end - filled);
      live_[live_count_++] = Piece{at + filled, huge_end - filled, at};
    }
    if (huge_end < bytes) {
#ifdef MADV_NOHUGEPAGE
      ::madvise(at + huge_end, bytes - huge_end, MADV_NOHUGEPAGE);
#endif
      live_[live_count_++] = Piece{at + huge_end, bytes - huge_end, at};
    }
  }

  // Keeps the pieces of a block; false when there is no such block.
  bool keep_pieces_of(const char* block) {
    bool found = false;
    for (size_t i = live_count_; i-- > 0;) {
      if (live_[i].block != block) continue;
      found = true;
      keep(live_[i]);
      live_[i] = live_[--live_count_];
    }
    return found;
  }

  static char* map_fresh(size_t bytes) {
    const size_t span = bytes + kHugePage;
    void* m = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    const auto base = reinterpret_cast<uintptr_t>(m);
    const uintptr_t start = (base + kHugePage - 1) / kHugePage * kHugePage;
    if (start > base) ::munmap(m, start - base);
    if (const size_t tail = base + span - (start + bytes); tail > 0) ::munmap(reinterpret_cast<void*>(start + bytes), tail);
    return reinterpret_cast<char*>(start);
  }

  size_t largest_kept() const {
    size_t best = 0;
    for (size_t k = 1; k < kept_count_; ++k)
      if (kept_[k].bytes > kept_[best].bytes) best = k;
    return best;
  }
  // `bytes` of kept piece k, starting at `from` (its front or its end).
  void take_kept(size_t k, size_t bytes, const char* from) {
    Piece& piece = kept_[k];
    if (from == piece.at) piece.at += bytes;
    piece.bytes -= bytes;
    kept_bytes_.fetch_sub(bytes, std::memory_order_relaxed);
    if (piece.bytes == 0) piece = kept_[--kept_count_];
  }
  void keep(const Piece& piece) {
    if (kept_count_ == kept_.size()) {
      ::munmap(piece.at, piece.bytes);
      return;
    }
    kept_[kept_count_++] = Piece{piece.at, piece.bytes, nullptr};
    kept_bytes_.fetch_add(piece.bytes, std::memory_order_relaxed);
  }
  // Pages are kept to be faulted in once within what the process has held
  // at most. Where it has grown past that while pages are kept (its small
  // blocks, or pages touched for the first time), they only add to a new
  // peak: they go back.
  void give_back_past_the_most() {
    const size_t resident = resident_bytes();
    if (kept_count_ > 0 && resident > most_resident_) give_back_locked();
    most_resident_ = std::max(most_resident_, resident);
  }
  // The process's resident bytes, read without allocating; 0 when unknown.
  static size_t resident_bytes() {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[128];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    const char* p = std::strchr(text, ' ');  // "size resident ...", in pages
    if (p == nullptr) return 0;
    size_t pages = 0;
    for (++p; *p >= '0' && *p <= '9'; ++p) pages = pages * 10 + static_cast<size_t>(*p - '0');
    return pages * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  }
  void give_back_locked() {
    while (kept_count_ > 0) {
      Piece& piece = kept_[kept_count_ - 1];
      ::munmap(piece.at, piece.bytes);
      take_kept(kept_count_ - 1, piece.bytes, piece.at);
    }
  }

  std::atomic<bool> on_{false};
  std::atomic<size_t> kept_bytes_{0};
  std::mutex mutex_;
  std::array<Piece, 8192> live_{};
  size_t live_count_ = 0;
  std::array<Piece, 2048> kept_{};
  size_t kept_count_ = 0;
  size_t most_resident_ = 0;  // the most seen at a request
};

// Made on first use and never destroyed, as blocks are freed until the
// process ends; its storage is static, as it serves the allocator.
KeptBlocks& kept_blocks() {
  alignas(KeptBlocks) static unsigned char storage[sizeof(KeptBlocks)];
  static KeptBlocks* const blocks = new (storage) KeptBlocks();
  return *blocks;
}

}  // namespace

void keep_freed_large_blocks() { kept_blocks().switch_on(); }
void* allocate_large(size_t bytes, bool zeroed) { return kept_blocks().allocate(bytes, zeroed); }
bool free_large(void* p) { return kept_blocks().release(p); }
size_t kept_large_block_bytes() { return kept_blocks().kept_bytes(); }
void give_back_kept_pages() { kept_blocks().give_back(); }

// The helper of PagesAhead: faults pages in a chunk at a time while what
// is wanted is more than what is done.
struct PagesAhead::Helper {
  static constexpr size_t kChunk = size_t{32} << 20;
  std::mutex mutex;
  std::condition_variable more;
  size_t wanted = 0;
  bool stop = false;
  std::thread thread{[this] { run(); }};

  void run() {
    size_t done = 0;
    for (;;) {
      {
        std::unique_lock lock(mutex);
        more.wait(lock, [&] { return stop || wanted >= done + kChunk; });
        if (stop) return;
      }
      if (!kept_blocks().fault_in(kChunk)) return;
      done += kChunk;
    }
  }
  ~Helper() {
    {
      std::lock_guard lock(mutex);
      stop = true;
    }
    more.notify_one();
    thread.join();
  }
};

PagesAhead::PagesAhead() = default;
PagesAhead::~PagesAhead() = default;

void PagesAhead::want(size_t bytes) {
  if (!kept_blocks().on() || bytes < Helper::kChunk) return;
  if (helper_ == nullptr) helper_ = std::make_unique<Helper>();
  {
    std::lock_guard lock(helper_->mutex);
    helper_->wanted = std::max(helper_->wanted, bytes);
  }
  helper_->more.notify_one();
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
  if (void* p = allocate_large(bytes, false)) return p;
  const size_t rounded = whole_huge_pages(bytes);
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
  advise_huge_pages(p, rounded);
  return p;
}

void* allocate_zeroed_huge(size_t bytes) {
  if (void* p = allocate_large(bytes, true)) return p;
  void* p = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  advise_huge_pages(p, bytes);
  return p;
}

void free_huge(void* p) {
  if (!free_large(p)) std::free(p);
}

}  // namespace vm
