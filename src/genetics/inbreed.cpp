// Inbreeding coefficients from the relationships of each parent to all its
// mates at once, with ancestor tracing (Meuwissen and Luo, 1992) for
// parents with a single mate, and from them the Mendelian sampling
// factors D.
//
// A trace takes the ancestors still to visit from a radix heap, largest
// first, and passes half of each to its larger parent before the smaller
// one: the very same floating-point operations, in the same order, as the
// literal walk along a linked list of ancestors, so both give the same bits.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/cpus.h"
#include "common/format.h"
#include "common/parallel.h"
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
  IndirectInbreeder(const Pedigree& ped, unsigned workers)
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
    const unsigned workers = batch_.size() < kThreadedParents ? 1u : static_cast<unsigned>(relaters_.size());
    parallel_for(batch_.size(), workers, [&](size_t k, unsigned w) { relaters_[w].relate(sh_, batch_[k]); });
  }

  const Pedigree& ped_;
  const int32_t n_;
  Inbreeding r_;
  IndirectShared sh_;
  std::vector<Relater> relaters_;
  std::vector<int32_t> batch_;
  int32_t settled_ = 0;
};

}  // namespace

Inbreeding INBREED(const Pedigree& ped, Sink& screen, unsigned threads) {
  if (ped.n <= 0) return start_result(ped.n);
  // Each worker holds two doubles and a number per animal.
  const double per_worker = (static_cast<double>(ped.n) + 1) * (2 * sizeof(double) + sizeof(int32_t));
  const unsigned wanted = threads != 0 ? threads : usable_cpus();
  return IndirectInbreeder(ped, workers_within_budget(wanted, per_worker, kInbreedMemoryBudget)).run(screen);
}

}  // namespace vm::genetics
