// Inbreeding coefficients by the ancestor-tracing method of Meuwissen and
// Luo (1992), or indirectly from the relationships of each parent to all
// its mates at once, and from them the Mendelian sampling factors D.
//
// Two tracing versions are kept. The plain one walks a singly linked list of the
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
#include "genetics/ancestor_list.h"
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

  // The zeroed array and the queue, lent to other passes over ancestors
  // between traces; they must leave the array zero again.
  std::vector<double>& zeroed() { return LL_; }
  DescendingQueue& queue() { return queue_; }

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

// The indirect computation. F(i) = a(s, d) / 2, with a the additive
// relationship of the parents. For each larger parent p and all its mates m
// at once: w = T'e_p over p and its ancestors, u = w D, and v = T u over the
// mates and their ancestors, so that a(p, m) = v(m). One pass over p's
// ancestors and one over the union of the mates' ancestors replace a trace
// per mate, which pays off for parents with many mates.
//
// Parents are taken in increasing number, which makes it valid: every
// animal below p has its larger parent below it, so its F is known when p
// is reached. A batch of consecutive parents none of whose offspring comes
// before the last of them does not depend on itself, and is spread over
// several threads; each parent's values are the same on any thread.
//
// A parent with fewer than kIndirectMates mates is traced as above
// instead, which costs less there (and gives the tracing's bits).
constexpr size_t kIndirectMates = 2;
// Parents in a batch below which threads are not worth starting.
constexpr size_t kThreadedParents = 64;

// What all relaters share: the pedigree records of the animals up to the
// current batch (read only during a batch), the offspring of each larger
// parent, and F (each offspring written by the relater of its parent).
struct IndirectShared {
  std::vector<Ancestor> anc;
  std::vector<int32_t> first_kid, kids;  // offspring of p at kids[first_kid[p] .. first_kid[p + 1])
  std::vector<int32_t> mate;             // the smaller parent of each offspring, same index
  std::vector<double>* F = nullptr;
};

// One thread's working storage.
class Relater {
 public:
  explicit Relater(int32_t n) : tracer_(n), stamp_(static_cast<size_t>(n) + 1, 0), v_(static_cast<size_t>(n) + 1, 0.0) {}

  void relate(IndirectShared& sh, int32_t p) {
    find_mates(sh, p);
    if (mates_.size() < kIndirectMates) {
      trace_group(sh, p);
    } else {
      relate_group(sh, p);
    }
  }

 private:
  // The distinct mates of p, each with its first offspring; they are
  // stamped with p, as the pass over their ancestors expects.
  void find_mates(const IndirectShared& sh, int32_t p) {
    mates_.clear();
    for (int32_t k = sh.first_kid[p]; k < sh.first_kid[p + 1]; ++k) {
      const int32_t m = sh.mate[k];
      if (stamp_[m] != p) {
        stamp_[m] = p;
        mates_.emplace_back(m, sh.kids[k]);
      }
    }
  }

  // One trace per mate, from its first offspring, whose record is filled
  // in for it (its D is known, as both its parents are done; nobody else
  // reads it during the batch).
  void trace_group(IndirectShared& sh, int32_t p) {
    std::vector<double>& F = *sh.F;
    for (auto [m, i] : mates_) {
      sh.anc[i] = Ancestor{sampling_factor(F, p, m), p, m};
      v_[m] = tracer_.run(sh.anc, i);
    }
    for (int32_t k = sh.first_kid[p]; k < sh.first_kid[p + 1]; ++k) F[sh.kids[k]] = v_[sh.mate[k]];
    for (auto [m, i] : mates_) v_[m] = 0.0;
  }

  void relate_group(IndirectShared& sh, int32_t p) {
    const std::vector<Ancestor>& anc = sh.anc;
    std::vector<double>& w = tracer_.zeroed();
    DescendingQueue& queue = tracer_.queue();
    // w = T'e_p, largest first: an animal's w is complete when it is taken,
    // since all its offspring among p's ancestors have larger numbers; it
    // is turned into u = w D there. A zero half adds nothing and is not
    // passed on, so w != 0 marks exactly the queued animals.
    lineage_.clear();
    w[p] = 1.0;
    queue.start(p);
    while (!queue.empty()) {
      const int32_t j = queue.pop();
      const Ancestor& a = anc[j];
      const double r = 0.5 * w[j];
      if (r != 0.0 && a.hi > 0) {
        pass_down(w, queue, a.hi, r);
        if (a.lo > 0) pass_down(w, queue, a.lo, r);
      }
      w[j] *= a.D;
      lineage_.push_back(j);
    }
    // v is 0 below p's smallest ancestor, so the mates' ancestors are not
    // followed below it.
    const int32_t lowest = lineage_.back();

    // The mates and their ancestors, largest first.
    closure_.clear();
    int32_t top = 0;
    for (auto [m, i] : mates_) top = std::max(top, m);
    queue.start(top);
    for (auto [m, i] : mates_)
      if (m != top) queue.push(m);
    while (!queue.empty()) {
      const int32_t x = queue.pop();
      closure_.push_back(x);
      const Ancestor& a = anc[x];
      for (int32_t k : {a.hi, a.lo}) {
        if (k >= lowest && k > 0 && stamp_[k] != p) {
          stamp_[k] = p;
          queue.push(k);
        }
      }
    }
    // v = T u, smallest first; v(0) stays 0 for an unknown parent.
    for (auto it = closure_.rbegin(); it != closure_.rend(); ++it) {
      const Ancestor& a = anc[*it];
      v_[*it] = w[*it] + 0.5 * (v_[a.hi] + v_[a.lo]);
    }
    std::vector<double>& F = *sh.F;
    for (int32_t k = sh.first_kid[p]; k < sh.first_kid[p + 1]; ++k) F[sh.kids[k]] = 0.5 * v_[sh.mate[k]];
    for (int32_t j : lineage_) w[j] = 0.0;
    for (int32_t x : closure_) v_[x] = 0.0;
  }

  static void pass_down(std::vector<double>& w, DescendingQueue& queue, int32_t k, double r) {
    if (w[k] == 0.0) queue.push(k);
    w[k] += r;
  }

  AncestorTrace tracer_;         // its zeroed array holds w
  std::vector<int32_t> stamp_;   // p: a mate of p or one of their ancestors
  std::vector<double> v_;        // zero between parents
  std::vector<std::pair<int32_t, int32_t>> mates_;  // (mate, its first offspring with p)
  std::vector<int32_t> lineage_, closure_;
};

class IndirectInbreeder {
 public:
  IndirectInbreeder(const SortedPedigree& ped, unsigned workers)
      : ped_(ped), n_(ped.n), r_(start_result(ped.n)) {
    sh_.F = &r_.F;
    sh_.anc.resize(static_cast<size_t>(n_) + 1);
    // Offspring with both parents known, grouped by the larger parent, each
    // group in increasing number.
    sh_.first_kid.assign(static_cast<size_t>(n_) + 2, 0);
    for (int32_t i = 1; i <= n_; ++i)
      if (ped_.sire[i] != 0 && ped_.dam[i] != 0) ++sh_.first_kid[static_cast<size_t>(larger(i)) + 1];
    for (int32_t p = 1; p <= n_; ++p) sh_.first_kid[static_cast<size_t>(p) + 1] += sh_.first_kid[p];
    const size_t pairs = static_cast<size_t>(sh_.first_kid[static_cast<size_t>(n_) + 1]);
    sh_.kids.resize(pairs);
    sh_.mate.resize(pairs);
    std::vector<int32_t> next(sh_.first_kid.begin(), sh_.first_kid.end() - 1);
    for (int32_t i = 1; i <= n_; ++i) {
      if (ped_.sire[i] == 0 || ped_.dam[i] == 0) continue;
      const int32_t k = next[larger(i)]++;
      sh_.kids[k] = i;
      sh_.mate[k] = smaller(i);
    }
    for (unsigned t = 0; t < workers; ++t) relaters_.emplace_back(n_);
  }

  Inbreeding run(Sink& screen) {
    for (int32_t p = 1; p <= n_;) {
      // The batch: parents from p on as long as none of the batch's
      // offspring comes before the next parent.
      batch_.clear();
      int32_t first_offspring = n_ + 1;
      for (; p <= n_ && p < first_offspring; ++p) {
        if (sh_.first_kid[p] == sh_.first_kid[p + 1]) continue;
        batch_.push_back(p);
        first_offspring = std::min(first_offspring, sh_.kids[sh_.first_kid[p]]);
      }
      if (batch_.empty()) break;
      settle(batch_.back(), screen);
      relate_batch();
    }
    settle(n_, screen);
    return std::move(r_);
  }

 private:
  int32_t larger(int32_t i) const { return std::max(ped_.sire[i], ped_.dam[i]); }
  int32_t smaller(int32_t i) const { return std::min(ped_.sire[i], ped_.dam[i]); }

  // D (and the record a pass reads) of every animal up to `last`, whose
  // parents' F are all known by now; the progress lines go with them, so
  // they come out in the order of the animals.
  void settle(int32_t last, Sink& screen) {
    for (int32_t i = settled_ + 1; i <= last; ++i) {
      r_.D[i] = sampling_factor(r_.F, ped_.sire[i], ped_.dam[i]);
      sh_.anc[i] = Ancestor{r_.D[i], larger(i), smaller(i)};
      show_progress(i, screen);
    }
    settled_ = std::max(settled_, last);
  }

  void relate_batch() {
    if (relaters_.size() == 1 || batch_.size() < kThreadedParents) {
      for (int32_t p : batch_) relaters_[0].relate(sh_, p);
      return;
    }
    std::atomic<size_t> next{0};
    auto work = [&](Relater& relater) {
      for (size_t k = next++; k < batch_.size(); k = next++) relater.relate(sh_, batch_[k]);
    };
    std::vector<std::jthread> pool;
    for (size_t t = 1; t < relaters_.size(); ++t) pool.emplace_back(work, std::ref(relaters_[t]));
    work(relaters_[0]);
  }

  const SortedPedigree& ped_;
  const int32_t n_;
  Inbreeding r_;
  IndirectShared sh_;
  std::vector<Relater> relaters_;
  std::vector<int32_t> batch_;
  int32_t settled_ = 0;
};

}  // namespace

unsigned inbreeding_workers(int32_t n, unsigned requested) {
  unsigned w = requested != 0 ? requested : std::max(1u, std::thread::hardware_concurrency());
  const double per_worker = (static_cast<double>(std::max(n, 0)) + 1) * sizeof(double);
  const double fit = static_cast<double>(kInbreedMemoryBudget) / per_worker;
  if (fit < w) w = static_cast<unsigned>(std::max(1.0, fit));
  return w;
}

Inbreeding inbreeding_tracing(const SortedPedigree& ped, Sink& screen, unsigned threads) {
  if (ped.n <= 0) return start_result(ped.n);
  return Inbreeder(ped, inbreeding_workers(ped.n, threads)).run(screen);
}

Inbreeding inbreeding_indirect(const SortedPedigree& ped, Sink& screen, unsigned threads) {
  if (ped.n <= 0) return start_result(ped.n);
  return IndirectInbreeder(ped, indirect_workers(ped.n, threads)).run(screen);
}

unsigned indirect_workers(int32_t n, unsigned requested) {
  unsigned w = requested != 0 ? requested : std::max(1u, std::thread::hardware_concurrency());
  const double per_worker = (static_cast<double>(std::max(n, 0)) + 1) * (2 * sizeof(double) + sizeof(int32_t));
  const double fit = static_cast<double>(kInbreedMemoryBudget) / per_worker;
  if (fit < w) w = static_cast<unsigned>(std::max(1.0, fit));
  return w;
}

Inbreeding inbreeding(const SortedPedigree& ped, Sink& screen, unsigned threads) {
  return inbreeding_indirect(ped, screen, threads);
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
        pass_half_to_parents(point, LL, j, ped1[j], ped2[j]);
        fi = fi + (LL[j] * LL[j]) * D[j];
        LL[j] = 0.0;
        const int32_t k = j;
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
