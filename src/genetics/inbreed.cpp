// Inbreeding coefficients by the ancestor-tracing method of Meuwissen and
// Luo (1992), and from them the Mendelian sampling factors D.
//
// Two versions are kept. The plain one walks a singly linked list of the
// ancestors still to visit, in decreasing order of number; its insertions
// cost a walk along the list, which becomes quadratic in deep pedigrees.
// The fast one takes the same ancestors from a priority queue and performs the
// very same floating-point operations in the same order, so both give the
// same bits: the largest listed ancestor is always the next one visited,
// and its half goes to the larger parent before the smaller one.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
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

// Working storage of the ancestor trace. What a visit needs of an animal
// sits together in one record, as a trace jumps about the whole pedigree.
// LL is zero between two traces, and non-zero exactly for the animals that
// are queued (a half that underflowed to zero would queue its animal a
// second time, which visits add nothing to: the same bits either way).
class AncestorTrace {
 public:
  explicit AncestorTrace(int32_t n) : nodes_(static_cast<size_t>(n) + 1) {}

  // Animal i, with its D and its parents ordered larger first.
  void enter(int32_t i, double D, int32_t hi, int32_t lo) { nodes_[i] = Node{0.0, D, hi, lo}; }

  // F(i) = sum over i and its ancestors j, largest first, of LL(j)^2 D(j),
  // minus 1. Every ancestor must have been entered.
  double run(int32_t i) {
    double fi = -1.0;
    nodes_[i].LL = 1.0;
    queue_.start(i);
    while (!queue_.empty()) {
      Node& j = nodes_[queue_.pop()];
      const double r = 0.5 * j.LL;
      if (j.hi > 0) {
        add(j.hi, r);
        if (j.lo > 0) add(j.lo, r);
      }
      fi = fi + (j.LL * j.LL) * j.D;
      j.LL = 0.0;
    }
    return fi;
  }

 private:
  struct Node {
    double LL = 0.0, D = 0.0;
    int32_t hi = 0, lo = 0;
  };

  void add(int32_t k, double r) {
    double& LL = nodes_[k].LL;
    if (LL == 0.0) queue_.push(k);
    LL += r;
  }

  std::vector<Node> nodes_;
  DescendingQueue queue_;
};

}  // namespace

Inbreeding inbreeding(const SortedPedigree& ped, Sink& screen) {
  const int32_t n = ped.n;
  Inbreeding r = start_result(n);
  if (n <= 0) return r;
  AncestorTrace trace(n);
  PairIndex seen(animals_with_both_parents(ped));
  for (int32_t i = 1; i <= n; ++i) {
    show_progress(i, screen);
    const int32_t s = ped.sire[i], d = ped.dam[i];
    const int32_t hi = std::max(s, d), lo = std::min(s, d);
    r.D[i] = sampling_factor(r.F, s, d);
    trace.enter(i, r.D[i], hi, lo);
    if (lo == 0) continue;  // F(i) = 0
    if (const int32_t sib = seen.find(hi, lo); sib != 0) {
      r.F[i] = r.F[sib];
    } else {
      r.F[i] = trace.run(i);
      seen.insert(hi, lo, i);
    }
  }
  return r;
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

std::vector<double> INBREED(const SortedPedigree& ped, Sink& screen) { return inbreeding(ped, screen).D; }

std::vector<double> INBREED_plain(const SortedPedigree& ped, Sink& screen) {
  return inbreeding_plain(ped, screen).D;
}

}  // namespace vm::genetics
