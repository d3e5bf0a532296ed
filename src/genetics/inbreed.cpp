// Inbreeding coefficients by the ancestor-tracing method of Meuwissen and
// Luo (1992), and from them the Mendelian sampling factors D.
//
// Two versions are kept. The plain one walks a singly linked list of the
// ancestors still to visit, in decreasing order of number; its insertions
// cost a walk along the list, which becomes quadratic in deep pedigrees.
// The fast one takes the same ancestors from a radix heap and performs the
// very same floating-point operations in the same order, so both give the
// same bits: the largest listed ancestor is always the next one visited,
// and its half goes to the larger parent before the smaller one. It traces
// each pair of parents once, and the animals of a generation, which do not
// depend on each other, on several threads.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "common/format.h"
#include "genetics/genetics.h"

namespace vm::genetics {
namespace {

void show_progress(int32_t i, Sink& screen) {
  if (i % 1000 == 0) screen.write(FreeLine().num(i).str());
}

// D(i) = 0.5 - 0.25 (F(s) + F(d)); F(0) = -1 makes an unknown parent count
// as a founder's missing half.
double sampling_factor(const std::vector<double>& F, int32_t s, int32_t d) {
  return 0.5 - 0.25 * (F[s] + F[d]);
}

Inbreeding start_result(int32_t n) {
  Inbreeding r;
  r.F.assign(static_cast<size_t>(n) + 1, 0.0);
  r.D.assign(static_cast<size_t>(n) + 1, 0.0);
  r.F[0] = -1.0;
  return r;
}

// The first animal seen with each pair of known parents (larger, smaller):
// an animal's coefficient depends on nothing but that pair, so later
// animals with the same pair take it over. Open addressing, linear probing.
class PairIndex {
 public:
  explicit PairIndex(size_t expected) {
    size_t capacity = std::bit_ceil(std::max<size_t>(16, expected + expected / 3 + 1));
    shift_ = 64 - std::countr_zero(capacity);
    mask_ = capacity - 1;
    keys_.assign(capacity, 0);
    first_.assign(capacity, 0);
  }

  // The animal recorded for the pair, or 0.
  int32_t find(int32_t hi, int32_t lo) const {
    const uint64_t key = make_key(hi, lo);
    for (size_t slot = home(key);; slot = (slot + 1) & mask_) {
      if (keys_[slot] == key) return first_[slot];
      if (keys_[slot] == 0) return 0;
    }
  }

  // Only called for a pair that find() did not know.
  void insert(int32_t hi, int32_t lo, int32_t animal) {
    const uint64_t key = make_key(hi, lo);
    size_t slot = home(key);
    while (keys_[slot] != 0) slot = (slot + 1) & mask_;
    keys_[slot] = key;
    first_[slot] = animal;
  }

 private:
  static uint64_t make_key(int32_t hi, int32_t lo) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(hi)) << 32) | static_cast<uint32_t>(lo);
  }
  size_t home(uint64_t key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_); }

  int shift_ = 0;
  size_t mask_ = 0;
  std::vector<uint64_t> keys_;  // 0: empty (both parents are known, so never a real key)
  std::vector<int32_t> first_;
};

size_t animals_with_both_parents(const SortedPedigree& ped) {
  size_t count = 0;
  for (int32_t i = 1; i <= ped.n; ++i) count += ped.sire[i] != 0 && ped.dam[i] != 0;
  return count;
}

// The ancestors still to visit, taken largest first. Every number added is
// smaller than the last one taken (parents precede offspring), which allows
// a radix heap: bucket b holds the numbers whose highest bit differing from
// the last one taken is bit b - 1, so lower buckets hold larger numbers and
// only the lowest non-empty bucket is ever searched or spread out.
class DescendingQueue {
 public:
  void start(int32_t first) {
    last_ = first;
    buckets_[0].assign(1, first);
    size_ = 1;
  }
  bool empty() const { return size_ == 0; }
  void push(int32_t k) {
    buckets_[bucket_of(k)].push_back(k);
    ++size_;
  }
  int32_t pop() {
    if (buckets_[0].empty()) {
      size_t i = 1;
      while (buckets_[i].empty()) ++i;
      std::vector<int32_t>& spread = buckets_[i];
      last_ = *std::max_element(spread.begin(), spread.end());
      for (int32_t k : spread) buckets_[bucket_of(k)].push_back(k);
      spread.clear();
    }
    const int32_t k = buckets_[0].back();
    buckets_[0].pop_back();
    --size_;
    return k;
  }

 private:
  size_t bucket_of(int32_t k) const { return static_cast<size_t>(std::bit_width(static_cast<uint32_t>(k ^ last_))); }

  std::array<std::vector<int32_t>, 33> buckets_;
  int32_t last_ = 0;
  size_t size_ = 0;
};

// What a trace needs of an animal, together in one record, as a trace
// jumps about the whole pedigree. Shared by all tracers, read only.
struct Ancestor {
  double D = 0.0;
  int32_t hi = 0, lo = 0;  // parents, larger first
};

// One thread's ancestor trace. LL is zero between two traces, and non-zero
// exactly for the animals that are queued (a half that underflowed to zero
// would queue its animal a second time, which visits add nothing to: the
// same bits either way).
class AncestorTrace {
 public:
  explicit AncestorTrace(int32_t n) : LL_(static_cast<size_t>(n) + 1, 0.0) {}

  // F(i) = sum over i and its ancestors j, largest first, of LL(j)^2 D(j),
  // minus 1.
  double run(const std::vector<Ancestor>& anc, int32_t i) {
    double fi = -1.0;
    LL_[i] = 1.0;
    queue_.start(i);
    while (!queue_.empty()) {
      const int32_t j = queue_.pop();
      const Ancestor& a = anc[j];
      const double r = 0.5 * LL_[j];
      if (a.hi > 0) {
        add(a.hi, r);
        if (a.lo > 0) add(a.lo, r);
      }
      fi = fi + (LL_[j] * LL_[j]) * a.D;
      LL_[j] = 0.0;
    }
    return fi;
  }

 private:
  void add(int32_t k, double r) {
    if (LL_[k] == 0.0) queue_.push(k);
    LL_[k] += r;
  }

  std::vector<double> LL_;
  DescendingQueue queue_;
};

// Animals are taken in runs whose parents all come before the run: within
// a run no animal's D or F depends on another's, so the traces of a run can
// go to several threads and still give the same bits. The pedigree is
// sorted on generation, so a run spans up to a whole generation; it is cut
// at kRun animals to keep the progress lines coming.
constexpr int32_t kRun = 16384;
// Traces in a run below which threads are not worth starting.
constexpr size_t kThreadedTraces = 256;

int32_t run_end(const SortedPedigree& ped, int32_t b) {
  int32_t e = b;
  while (e <= ped.n && e - b < kRun && std::max(ped.sire[e], ped.dam[e]) < b) ++e;
  return e;
}

class Inbreeder {
 public:
  Inbreeder(const SortedPedigree& ped, unsigned workers)
      : ped_(ped), r_(start_result(ped.n)), anc_(static_cast<size_t>(ped.n) + 1),
        seen_(animals_with_both_parents(ped)) {
    for (unsigned t = 0; t < workers; ++t) tracers_.emplace_back(ped.n);
  }

  Inbreeding run(Sink& screen) {
    for (int32_t b = 1; b <= ped_.n;) {
      const int32_t e = run_end(ped_, b);
      prepare(b, e);
      trace_all();
      for (auto [i, sib] : sibs_) r_.F[i] = r_.F[sib];
      for (int32_t i = b; i < e; ++i) show_progress(i, screen);
      b = e;
    }
    return std::move(r_);
  }

 private:
  // D of every animal of the run, and which of them need a trace: the
  // first with each pair of parents; later ones copy its F.
  void prepare(int32_t b, int32_t e) {
    to_trace_.clear();
    sibs_.clear();
    for (int32_t i = b; i < e; ++i) {
      const int32_t s = ped_.sire[i], d = ped_.dam[i];
      const int32_t hi = std::max(s, d), lo = std::min(s, d);
      r_.D[i] = sampling_factor(r_.F, s, d);
      anc_[i] = Ancestor{r_.D[i], hi, lo};
      if (lo == 0) continue;  // F(i) = 0
      if (const int32_t sib = seen_.find(hi, lo); sib != 0) {
        sibs_.emplace_back(i, sib);
      } else {
        seen_.insert(hi, lo, i);
        to_trace_.push_back(i);
      }
    }
  }

  void trace_all() {
    if (tracers_.size() == 1 || to_trace_.size() < kThreadedTraces) {
      for (int32_t i : to_trace_) r_.F[i] = tracers_[0].run(anc_, i);
      return;
    }
    std::atomic<size_t> next{0};
    auto work = [&](AncestorTrace& tracer) {
      for (size_t k = next++; k < to_trace_.size(); k = next++) {
        const int32_t i = to_trace_[k];
        r_.F[i] = tracer.run(anc_, i);
      }
    };
    std::vector<std::jthread> pool;
    for (size_t t = 1; t < tracers_.size(); ++t) pool.emplace_back(work, std::ref(tracers_[t]));
    work(tracers_[0]);
  }

  const SortedPedigree& ped_;
  Inbreeding r_;
  std::vector<Ancestor> anc_;
  PairIndex seen_;
  std::vector<AncestorTrace> tracers_;
  std::vector<int32_t> to_trace_;
  std::vector<std::pair<int32_t, int32_t>> sibs_;
};

}  // namespace

unsigned inbreeding_workers(int32_t n, unsigned requested) {
  unsigned w = requested != 0 ? requested : std::max(1u, std::thread::hardware_concurrency());
  const double per_worker = (static_cast<double>(std::max(n, 0)) + 1) * sizeof(double);
  const double fit = static_cast<double>(kInbreedMemoryBudget) / per_worker;
  if (fit < w) w = static_cast<unsigned>(std::max(1.0, fit));
  return w;
}

Inbreeding inbreeding(const SortedPedigree& ped, Sink& screen, unsigned threads) {
  if (ped.n <= 0) return start_result(ped.n);
  return Inbreeder(ped, inbreeding_workers(ped.n, threads)).run(screen);
}

Inbreeding inbreeding_plain(const SortedPedigree& ped, Sink& screen) {
  const int32_t n = ped.n;
  const size_t size = static_cast<size_t>(std::max(n, 0)) + 1;
  Inbreeding r = start_result(n);
  std::vector<double>& F = r.F;
  std::vector<double>& D = r.D;
  std::vector<int32_t> ped1(ped.sire.begin(), ped.sire.begin() + static_cast<std::ptrdiff_t>(size));
  std::vector<int32_t> ped2(ped.dam.begin(), ped.dam.begin() + static_cast<std::ptrdiff_t>(size));
  std::vector<int32_t> point(size, 0);
  std::vector<double> LL(size, 0.0);
  for (int32_t i = 1; i <= n; ++i) {
    show_progress(i, screen);
    const int32_t s = ped1[i], d = ped2[i];
    ped1[i] = std::max(s, d);
    ped2[i] = std::min(s, d);
    D[i] = 0.5 - 0.25 * (F[s] + F[d]);
    if (s == 0 || d == 0) {
      F[i] = 0.0;
    } else if (i > 1 && ped1[i - 1] == ped1[i] && ped2[i - 1] == ped2[i]) {
      F[i] = F[i - 1];
    } else {
      double fi = -1.0;
      LL[i] = 1.0;
      int32_t j = i;
      while (j != 0) {
        int32_t k = j;
        const double r = 0.5 * LL[j];
        const int32_t ks = ped1[j], kd = ped2[j];
        if (ks > 0) {
          while (point[k] > ks) k = point[k];
          LL[ks] += r;
          if (point[k] != ks) {
            point[ks] = point[k];
            point[k] = ks;
          }
          if (kd > 0) {
            while (point[k] > kd) k = point[k];
            LL[kd] += r;
            if (point[k] != kd) {
              point[kd] = point[k];
              point[k] = kd;
            }
          }
        }
        fi = fi + (LL[j] * LL[j]) * D[j];
        LL[j] = 0.0;
        k = j;
        j = point[j];
        point[k] = 0;
      }
      F[i] = fi;
    }
  }
  return r;
}

std::vector<double> INBREED(const SortedPedigree& ped, Sink& screen) { return inbreeding(ped, screen, 0).D; }

std::vector<double> INBREED_plain(const SortedPedigree& ped, Sink& screen) {
  return inbreeding_plain(ped, screen).D;
}

}  // namespace vm::genetics
