#include "reference/plain_pedigree.h"

#include <vector>

#include "pedigree/heapsort.h"

namespace vm::pedigree {
namespace {

void move_to(Generations& g, int32_t a, int32_t to) {
  if (g.gen[a] != 0) --g.angen[g.gen[a]];
  g.gen[a] = to;
  if (static_cast<size_t>(to) >= g.angen.size()) g.angen.resize(static_cast<size_t>(to) + 1, 0);
  ++g.angen[to];
}

class IntTable {
 public:
  IntTable(int32_t n, int32_t* ra, int32_t k, int32_t ncol) : n_(n), ra_(ra), k_(k), ncol_(ncol), held_(ncol) {}

  bool less(int64_t i, int64_t j) const { return at(i, k_) < at(j, k_); }
  bool less_held(int64_t j) const { return held_[k_ - 1] < at(j, k_); }
  void hold(int64_t i) {
    for (int32_t c = 1; c <= ncol_; ++c) held_[c - 1] = at(i, c);
  }
  void copy(int64_t from, int64_t to) {
    for (int32_t c = 1; c <= ncol_; ++c) at(to, c) = at(from, c);
  }
  void put_held(int64_t i) {
    for (int32_t c = 1; c <= ncol_; ++c) at(i, c) = held_[c - 1];
  }

 private:
  int32_t& at(int64_t row, int32_t col) const {
    return ra_[static_cast<size_t>(col - 1) * n_ + static_cast<size_t>(row - 1)];
  }
  int32_t n_;
  int32_t* ra_;
  int32_t k_, ncol_;
  std::vector<int32_t> held_;
};

}  // namespace

Generations generations_by_sweeps(const Pedigree& ped) {
  const int32_t n = ped.n;
  Generations g;
  g.gen.assign(static_cast<size_t>(n) + 1, 0);
  g.angen.assign(2, 0);
  for (int32_t a = 1; a <= n; ++a) {
    if (ped.sire[a] == 0 && ped.dam[a] == 0) {
      g.gen[a] = 1;
      ++g.angen[1];
    }
  }
  int32_t V = 1;
  for (;;) {
    int64_t changes = 0;
    for (int32_t a = 1; a <= n; ++a) {
      const int32_t s = ped.sire[a];
      const int32_t d = ped.dam[a];
      if (s > 0 && g.gen[s] == V) {
        move_to(g, a, V + 1);
        ++changes;
      } else if (d > 0 && g.gen[d] == V) {
        move_to(g, a, V + 1);
        ++changes;
      }
    }
    if (changes == 0) break;
    for (int32_t b = 1; b <= V; ++b) {
      if (g.angen[b] == 0) {
        g.V = V;
        g.empty_generation = b;
        return g;
      }
    }
    ++V;
  }
  g.V = V;
  g.angen.resize(static_cast<size_t>(V) + 1, 0);
  return g;
}

void HEAPSORTINT2(int32_t n, int32_t* RA, int32_t k, int32_t ncol) {
  if (n < 2) return;
  IntTable table(n, RA, k, ncol);
  heap_sort(n, table);
}

}  // namespace vm::pedigree
