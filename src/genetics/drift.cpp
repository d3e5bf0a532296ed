// Mean relationships within and between populations per period, and the
// drift figures of every pair of populations.
//
// With A = T D T', the summed relationship between two groups is
// (T'x)' D (T'y); T'x, the contribution of every animal to a group, is
// L(I, .). The literal CALCL finds it with a linked-list walk per
// population; here one sweep per period goes over the animals from the
// highest member down: the walk visits ancestors in decreasing number and
// passes half to the larger parent, then the smaller, and so does the
// sweep, so every entry receives the same additions in the same order and
// the bits agree. Animals with no contribution are skipped (adding +0 would
// not change a non-negative sum either): a bit per animal marks those that
// hold anything, so the sweep and the sums read only their rows.
//
// Populations that share no ancestor (closed populations, separate
// breeds: no family holds animals of two of them) are swept apart, each
// group in rows as wide as its own populations: an animal holds nothing
// for the other groups, so the additions and the sums are the same. The
// rows of all populations then hold several periods of a group, so
// neighbouring periods are swept together, each in its own block.
//
// A period whose members are few next to the animals below its highest one
// (birth dates as periods give thousands of small ones) is swept over its
// members' ancestors only: side by side with its small neighbours, which
// share most of them, in the sparse rows below while those stay in the
// cache, or alone, found first and then taken in the same decreasing
// order; should they turn out many, the dense sweep does it.
//
// With many populations (herds as populations) full rows would be mostly
// zeros, rows x Q doubles read whole at every animal, so L is kept as
// sparse rows instead: what an animal receives is listed as it arrives and
// added up when the sweep reaches it, in arrival order, which is the dense
// sweep's order. Small periods next to each other are then swept together,
// since they share most of their ancestors: each has its own block of
// columns, and blocks never mix. (With full rows as wide as all
// populations, a batch's blocks would multiply the rows' width; one period
// at a time is quicker there.)
//
// Periods depend on nothing but D, so they (in batches of periods swept
// together) are spread over threads. Each period's lines are collected and
// written in period order, so the bytes do not depend on the number of
// threads.
//
// The founder sums, when asked for, are taken where the sums read each
// row of L for the last time, just before it is cleared: a second sweep
// per period would cost as much as the first.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <mutex>
#include <numeric>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/cpus.h"
#include "common/format.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "genetics/genetics.h"

namespace vm::genetics {
namespace {

bool in_range(int32_t v, int32_t hi) { return v >= 1 && v <= hi; }

// The members of each period, by increasing animal number.
struct PeriodMembers {
  std::vector<int64_t> start;    // members of period t: animal[start[t - 1] .. start[t])
  std::vector<int32_t> animal;
  int32_t top = 0;  // the highest member of any period

  PeriodMembers(const Pedigree& ped, int32_t Q, int32_t P) : start(static_cast<size_t>(P) + 1, 0) {
    auto member = [&](int32_t c) { return in_range(ped.period[c], P) && in_range(ped.pop[c], Q); };
    for (int32_t c = 1; c <= ped.n; ++c)
      if (member(c)) {
        ++start[ped.period[c]];
        top = c;
      }
    for (int32_t t = 1; t <= P; ++t) start[t] += start[t - 1];
    animal.resize(static_cast<size_t>(start[P]));
    std::vector<int64_t> next(start.begin(), start.end() - 1);
    for (int32_t c = 1; c <= ped.n; ++c)
      if (member(c)) animal[next[ped.period[c] - 1]++] = c;
  }

  std::span<const int32_t> of(int32_t t) const {
    return {animal.data() + start[t - 1], static_cast<size_t>(start[t] - start[t - 1])};
  }
  // The highest member of period t, 0 when it has none.
  int32_t highest(int32_t t) const { return start[t] > start[t - 1] ? animal[start[t] - 1] : 0; }
  int32_t highest() const { return top; }
};

// The populations in groups that share no ancestor (Inbreeding::pop_group),
// numbered in the order of their smallest populations, each group's
// populations 0-based and increasing.
class PopulationGroups {
 public:
  PopulationGroups() = default;  // one group
  PopulationGroups(const std::vector<int32_t>& pop_group, int32_t Q)
      : of_(static_cast<size_t>(Q)), column_(static_cast<size_t>(Q)), pops_(static_cast<size_t>(Q)) {
    // A population unknown to the groups (without animals) is a group of its own.
    auto given = [&](uint32_t I) {
      const size_t at = static_cast<size_t>(I) + 1;
      return at < pop_group.size() && pop_group[at] >= 0 ? pop_group[at] : Q + static_cast<int32_t>(at);
    };
    std::iota(pops_.begin(), pops_.end(), 0u);
    std::stable_sort(pops_.begin(), pops_.end(), [&](uint32_t a, uint32_t b) { return given(a) < given(b); });
    for (size_t k = 0; k < pops_.size(); ++k) {
      if (k > 0 && given(pops_[k]) != given(pops_[k - 1])) ends_.push_back(k);
      of_[pops_[k]] = ends_.size();
      column_[pops_[k]] = k - (ends_.empty() ? 0 : ends_.back());
    }
    ends_.push_back(pops_.size());
  }
  // 0 or 1: one group.
  size_t count() const { return ends_.size(); }
  std::span<const uint32_t> group(size_t k) const {
    const size_t begin = k == 0 ? 0 : ends_[k - 1];
    return {pops_.data() + begin, ends_[k] - begin};
  }
  // The group of population I (0-based), and its column in the group.
  size_t of(uint32_t I) const { return of_[I]; }
  size_t column(uint32_t I) const { return column_[I]; }
  // The most populations of a group (of Q in all).
  int32_t widest(int32_t Q) const {
    if (count() <= 1) return Q;
    size_t most = 0;
    for (size_t k = 0; k < count(); ++k) most = std::max(most, group(k).size());
    return static_cast<int32_t>(most);
  }

 private:
  std::vector<size_t> of_, column_;
  std::vector<size_t> ends_;  // where each group's populations end in pops_
  std::vector<uint32_t> pops_;
};

// The parents of an animal, larger first (0: unknown).
struct Parents {
  int32_t big = 0, small = 0;
};
// The pedigree's own parent arrays, read as Parents: a copy side by side
// would be another 8 bytes per animal at the run's peak (81 MB on 10M
// animals), and the sweeps mostly read them in order, where two streams
// cost little more than one (default-10m: about 0.1 s of 2 s).
class ParentTable {
 public:
  explicit ParentTable(const Pedigree& ped) : sire_(ped.sire.data()), dam_(ped.dam.data()) {}
  Parents operator[](size_t c) const { return {std::max(sire_[c], dam_[c]), std::min(sire_[c], dam_[c])}; }
  void prefetch(size_t c) const { __builtin_prefetch(&sire_[c]), __builtin_prefetch(&dam_[c]); }

 private:
  const int32_t* sire_;
  const int32_t* dam_;
};


// The animals reached by a sparse sweep: one bit each, small enough to
// stay in the cache, and one bit per word of those telling which words
// hold any, so that they are read back in decreasing order quickly.
class ReachedSet {
 public:
  void resize(size_t rows) {
    bits_.assign(rows / 64 + 1, 0);
    words_.assign(bits_.size() / 64 + 1, 0);
  }
  // Marks c; false if it was marked already.
  bool mark(int32_t c) {
    const auto i = static_cast<size_t>(c) >> 6;
    const uint64_t bit = uint64_t{1} << (c & 63);
    if (bits_[i] & bit) return false;
    if (bits_[i] == 0) words_[i >> 6] |= uint64_t{1} << (i & 63);
    bits_[i] |= bit;
    return true;
  }
  // visit(c) for every marked animal c from `top` down, in decreasing
  // order, marks made by visit (always below the animal at hand) included;
  // leaves the marks.
  template <class Visit>
  void for_each_descending(int32_t top, Visit&& visit) const {
    if (top < 1) return;
    for (size_t i = static_cast<size_t>(top) >> 6;;) {
      // The highest marked word at or below i, through its group's summary.
      const size_t g = i >> 6;
      const uint64_t upto = (i & 63) == 63 ? ~uint64_t{0} : (uint64_t{2} << (i & 63)) - 1;
      if (const uint64_t words = words_[g] & upto; words == 0) {
        if (g == 0) return;
        i = g * 64 - 1;
        continue;
      } else {
        i = g * 64 + static_cast<size_t>(63 - std::countl_zero(words));
      }
      for (uint64_t below = ~uint64_t{0};;) {
        const uint64_t bits = bits_[i] & below;  // read again: visit may mark in this word
        if (bits == 0) break;
        const int bit = 63 - std::countl_zero(bits);
        visit(static_cast<int32_t>(i * 64 + static_cast<size_t>(bit)));
        below = (uint64_t{1} << bit) - 1;
      }
      if (i == 0) return;
      --i;
    }
  }
  // visit(c) for every marked animal in increasing order, unmarking them.
  template <class Visit>
  void take_ascending(Visit&& visit) {
    for (size_t w = 0; w < words_.size(); ++w) {
      for (uint64_t words = std::exchange(words_[w], 0); words != 0; words &= words - 1) {
        const size_t i = w * 64 + static_cast<size_t>(std::countr_zero(words));
        for (uint64_t bits = std::exchange(bits_[i], 0); bits != 0; bits &= bits - 1)
          visit(static_cast<int32_t>(i * 64 + static_cast<size_t>(std::countr_zero(bits))));
      }
    }
  }
 private:
  std::vector<uint64_t> bits_, words_;
};
// Animal c passes half its contribution to each population to its larger
// parent, then to its smaller one (both halves to one parent on selfing).
void pass_row_to_parents(const ParentTable& parents, size_t q, int32_t c, std::vector<double>& L) {
  const auto [ks, kd] = parents[static_cast<size_t>(c)];
  if (ks == 0) return;
  const double* own = &L[static_cast<size_t>(c) * q];
  double* big = &L[static_cast<size_t>(ks) * q];
  double* small = &L[static_cast<size_t>(kd) * q];  // row 0 when kd is unknown, never used then
  // Without a test per entry: a zero adds +0, which leaves the (never
  // negative) sums as they are.
  if (kd > 0) {
    for (size_t I = 0; I < q; ++I) {
      const double r = 0.5 * own[I];
      big[I] += r;
      small[I] += r;
    }
  } else {
    for (size_t I = 0; I < q; ++I) big[I] += 0.5 * own[I];
  }
}

void set_members(const Pedigree& ped, size_t q, std::span<const int32_t> members, std::vector<double>& L) {
  for (int32_t c : members) L[static_cast<size_t>(c) * q + static_cast<size_t>(ped.pop[c] - 1)] = 1.0;
}

// One nonzero contribution of an animal: to column `col` (the population,
// or, for periods swept together, the period's block of Q columns plus the
// population).
struct Entry {
  uint32_t col;
  double value;
};

// Where a period's founder sums go, population I (0-based) at [I]; null
// when they are not asked for.
struct FounderTally {
  int64_t* founders = nullptr;
  double* squares = nullptr;
};

// The part of an animal's contributions that is a founder's: all of it
// without known parents, half (its unknown parent's) with one, none with
// both.
double founder_share(Parents p) { return p.big == 0 ? 1.0 : p.small == 0 ? 0.5 : 0.0; }

// Adds the terms of one animal to one period's sums s(I, J) (0-based, at
// s[I * Q + J]) and, if it has a founder's share, to its founder sums:
// `row` is what the animal holds for that period, column first_col + I
// for population I.
void add_row_to_sums(std::span<const Entry> row, uint32_t first_col, double Dc, size_t q, double* s, double share,
                     const FounderTally& tally) {
  if (share != 0.0 && tally.founders != nullptr) {
    for (const Entry& e : row) {
      const double part = share * e.value;
      ++tally.founders[e.col - first_col];
      tally.squares[e.col - first_col] += part * part;
    }
  }
  for (const Entry& a : row) {
    const double weighted = a.value * Dc;
    double* out = &s[static_cast<size_t>(a.col - first_col) * q];
    for (const Entry& b : row) out[b.col - first_col] += weighted * b.value;
  }
}

// The rows of L as their nonzero entries, for when an animal holds
// little of its row: with many populations (herds as populations), most
// animals reach a few of them, and with periods swept together each
// animal reaches only some of the periods. What an animal receives is
// listed, latest first (one place per animal to find and update as it
// arrives), and added up only once the sweep reaches it (when nothing
// more can arrive), in arrival order, so each entry takes the additions of
// the dense sweep in the same order. The added-up rows stay until the
// sums have read them, which they do in increasing animal number.
class SparseRows {
 public:
  void resize(size_t rows, size_t columns) {
    latest_.assign(rows, kNone);
    total_.assign(columns, 0.0);
    seen_.assign(columns, 0);
  }
  size_t columns() const { return total_.size(); }
  // Forgets every row; the storage is kept for the next sweep.
  void clear() {
    arrivals_.clear();
    entries_.clear();
    settled_.clear();
  }
  void receive(int32_t c, uint32_t col, double value) {
    if (arrivals_.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max()))
      throw std::length_error("the period sweep's contributions pass 2^31 entries");
    int32_t& latest = latest_[static_cast<size_t>(c)];
    arrivals_.push_back({col, latest, value});
    latest = static_cast<int32_t>(arrivals_.size() - 1);
  }
  // Adds up what c has received, by increasing column, and keeps it as
  // c's row (the next of the sweep's rows, which go in decreasing number).
  std::span<const Entry> settle(int32_t c) {
    columns_.clear();
    arrived_.clear();
    for (int32_t i = std::exchange(latest_[static_cast<size_t>(c)], kNone); i != kNone;
         i = arrivals_[static_cast<size_t>(i)].earlier)
      arrived_.push_back(i);
    for (auto i = arrived_.rbegin(); i != arrived_.rend(); ++i) {
      const Arrival& in = arrivals_[static_cast<size_t>(*i)];
      if (!seen_[in.col]) {
        seen_[in.col] = 1;
        columns_.push_back(in.col);
      }
      total_[in.col] += in.value;
    }
    std::sort(columns_.begin(), columns_.end());
    const size_t begin = entries_.size();
    for (uint32_t col : columns_) {
      seen_[col] = 0;
      // +0 arrives where a half underflows: the dense row would hold 0 too.
      if (const double v = std::exchange(total_[col], 0.0); v != 0.0) entries_.push_back({col, v});
    }
    settled_.push_back({c, begin});
    return {entries_.data() + begin, entries_.size() - begin};
  }
  // Drops what c has received, settled or not.
  void forget(int32_t c) { latest_[static_cast<size_t>(c)] = kNone; }
  // visit(c, row) for every settled row in increasing animal number.
  template <class Visit>
  void for_each_ascending(Visit&& visit) const {
    size_t end = entries_.size();
    for (auto it = settled_.rbegin(); it != settled_.rend(); ++it) {
      visit(it->animal, std::span<const Entry>(entries_.data() + it->begin, end - it->begin));
      end = it->begin;
    }
  }

 private:
  static constexpr int32_t kNone = -1;
  struct Arrival {
    uint32_t col;
    int32_t earlier;  // the animal's arrival before this one
    double value;
  };
  struct Settled {
    int32_t animal;
    size_t begin;
  };
  std::vector<int32_t> latest_;  // per animal: its latest arrival
  std::vector<int32_t> arrived_;  // the arrivals of the animal at hand, latest first
  std::vector<Arrival> arrivals_;
  std::vector<double> total_;  // per column, while an animal is added up
  std::vector<char> seen_;
  std::vector<uint32_t> columns_;
  std::vector<Entry> entries_;
  std::vector<Settled> settled_;
};

// What the period loop needs besides the per-period working storage.
struct Context {
  const Pedigree& ped;
  const ParentTable& parents;
  const std::vector<double>& D;
  const Names& names;
  int32_t Q, P;
  FounderSums* founders;  // null: not asked for
};

std::string count_lines(const Context& ctx, const std::vector<int64_t>& N) {
  std::string lines;
  for (int32_t I = 1; I <= ctx.Q; ++I) lines += count_line(ctx.names.pop[I], N[I]);
  return lines;
}

}  // namespace

DriftResults empty_results(int32_t Q, int32_t P) {
  DriftResults res;
  res.Q = Q;
  res.P = P;
  const size_t size = static_cast<size_t>(Q) * static_cast<size_t>(Q) * static_cast<size_t>(P);
  res.mean_relationship.assign(size, 0.0);
  res.driftvar.assign(size, 0.0);
  res.maxdriftvar.assign(size, 0.0);
  res.index.assign(size, 0.0);
  res.animals.assign(static_cast<size_t>(Q) * static_cast<size_t>(P), 0);
  return res;
}

namespace {

int32_t count_of(const std::vector<std::string>& names) { return names.empty() ? 0 : static_cast<int32_t>(names.size()) - 1; }

// Periods first..last, swept together (sparse) or the one period alone
// with L as full rows (dense).
struct Batch {
  int32_t first = 0, last = 0;
  bool dense = false;
  int32_t periods() const { return last - first + 1; }
};

// One thread's working storage, made when the thread first needs it: L as
// full rows up to the highest member of any period (zero between
// periods), or as sparse rows; the animals reached; the Q x Q sums of
// each period of a batch.
struct Worker {
  std::vector<double> L;
  SparseRows sparse;
  ReachedSet reached;
  std::vector<std::vector<double>> s;
  std::vector<Entry> row;
  std::vector<int32_t> found;
  std::vector<FounderTally> tallies;
  std::vector<int64_t> N;
  bool ready = false;
};

// The founder sums of period t, or none.
FounderTally tally_of(const Context& ctx, int32_t t) {
  if (ctx.founders == nullptr || ctx.Q == 0) return {};
  const size_t first = ctx.founders->slot(1, t);  // the period's own stretch, zero from the start
  return {&ctx.founders->founders[first], &ctx.founders->squares[first]};
}

void clear_sums(Worker& w, int32_t periods, size_t q) {
  if (w.s.size() < static_cast<size_t>(periods)) w.s.resize(static_cast<size_t>(periods));
  for (int32_t k = 0; k < periods; ++k) w.s[static_cast<size_t>(k)].assign(q * q, 0.0);
}

// Adds one block of animal c's row of L, `width` entries at `own` (the
// columns of `pops`, 0-based populations, increasing; empty: all Q), to
// the sums and clears it.
void add_full_row_to_sums(const Context& ctx, int32_t c, double* own, size_t width, std::span<const uint32_t> pops,
                          Worker& w, std::vector<double>& s, const FounderTally& tally) {
  const size_t q = static_cast<size_t>(ctx.Q);
  if (w.row.size() < q) w.row.resize(q);
  size_t n = 0;
  if (pops.empty()) {
    for (size_t k = 0; k < width; ++k)
      if (own[k] != 0.0) w.row[n++] = {static_cast<uint32_t>(k), std::exchange(own[k], 0.0)};
  } else {
    for (size_t k = 0; k < width; ++k)
      if (own[k] != 0.0) w.row[n++] = {pops[k], std::exchange(own[k], 0.0)};
  }
  add_row_to_sums({w.row.data(), n}, 0, ctx.D[c], q, s.data(), founder_share(ctx.parents[static_cast<size_t>(c)]),
                  tally);
}
void add_full_row_to_sums(const Context& ctx, int32_t c, Worker& w, std::vector<double>& s, const FounderTally& tally) {
  const size_t q = static_cast<size_t>(ctx.Q);
  add_full_row_to_sums(ctx, c, &w.L[static_cast<size_t>(c) * q], q, {}, w, s, tally);
}

// The dense sweep and the sums of a batch's periods, over the animals
// that hold anything: the members and, as the sweep reaches them, their
// parents, marked one bit each, so that the rows of animals with nothing
// are never read. Each row is cleared once the sums have used it, which
// leaves L zero for the next batch without another pass. The rows hold
// the populations `pops` of group `group` (0-based, increasing; empty: all
// Q), period k of the batch in the k-th block of them; blocks never mix,
// so each period's entries and sums take the same additions in the same
// order as in a sweep of its own, while the animals are visited once for
// all of them.
void dense_sweep(const Context& ctx, const PeriodMembers& members, const Batch& batch, const PopulationGroups& groups,
                 size_t group, std::span<const uint32_t> pops, size_t sums_from, Worker& w) {
  const size_t width = pops.empty() ? static_cast<size_t>(ctx.Q) : pops.size();
  const size_t row = width * static_cast<size_t>(batch.periods());
  int32_t top = 0;
  for (int32_t t = batch.first; t <= batch.last; ++t) {
    const size_t block = static_cast<size_t>(t - batch.first) * width;
    for (int32_t c : members.of(t)) {
      const auto I = static_cast<uint32_t>(ctx.ped.pop[c] - 1);
      if (!pops.empty() && groups.of(I) != group) continue;
      w.L[static_cast<size_t>(c) * row + block + (pops.empty() ? I : groups.column(I))] = 1.0;
      w.reached.mark(c);
      top = std::max(top, c);
    }
  }
  w.reached.for_each_descending(top, [&](int32_t c) {
    const Parents p = ctx.parents[static_cast<size_t>(c)];
    if (p.big == 0) return;
    pass_row_to_parents(ctx.parents, row, c, w.L);
    w.reached.mark(p.big);
    if (p.small > 0) w.reached.mark(p.small);
  });
  std::vector<FounderTally>& tallies = w.tallies;
  tallies.clear();
  for (int32_t t = batch.first; t <= batch.last; ++t) tallies.push_back(tally_of(ctx, t));
  if (tallies.size() == 1) {  // one period: no loop over blocks at each of millions of animals
    w.reached.take_ascending([&](int32_t c) {
      add_full_row_to_sums(ctx, c, &w.L[static_cast<size_t>(c) * row], width, pops, w, w.s[sums_from], tallies[0]);
    });
    return;
  }
  w.reached.take_ascending([&](int32_t c) {
    double* own = &w.L[static_cast<size_t>(c) * row];
    for (size_t k = 0; k < tallies.size(); ++k)
      add_full_row_to_sums(ctx, c, own + k * width, width, pops, w, w.s[sums_from + k], tallies[k]);
  });
}

// Populations that share no ancestor (closed populations, separate
// breeds) are swept apart, each group in rows only as wide as its
// populations: an animal holds nothing for the populations of other
// groups, so every entry takes the same additions in the same order, and
// every sum the same terms (each from an animal of its group, in
// increasing number), as in one sweep over all of them.
void grouped_dense_sweep(const Context& ctx, const PeriodMembers& members, const Batch& batch,
                         const PopulationGroups& groups, size_t sums_from, Worker& w) {
  if (groups.count() <= 1) {
    dense_sweep(ctx, members, batch, groups, 0, {}, sums_from, w);
    return;
  }
  for (size_t k = 0; k < groups.count(); ++k)
    dense_sweep(ctx, members, batch, groups, k, groups.group(k), sums_from, w);
}

// The periods of a batch in one sweep over the union of their members'
// ancestors, period k of the batch in columns k * Q .. k * Q + Q - 1. The
// columns never mix, so each period's entries take the same additions in
// the same order as in a sweep of its own, and so do its sums. False,
// with the sums and the marks left clear, once its rows pass `budget`
// entries.
bool sparse_sweep(const Context& ctx, const PeriodMembers& members, const Batch& batch, size_t budget, Worker& w) {
  const size_t q = static_cast<size_t>(ctx.Q);
  w.sparse.clear();
  int32_t top = 0;
  for (int32_t t = batch.first; t <= batch.last; ++t) {
    const auto first_col = static_cast<uint32_t>(static_cast<size_t>(t - batch.first) * q);
    for (int32_t c : members.of(t)) {
      w.sparse.receive(c, first_col + static_cast<uint32_t>(ctx.ped.pop[c] - 1), 1.0);
      w.reached.mark(c);
    }
    top = std::max(top, members.highest(t));
  }
  size_t entries = 0;
  w.reached.for_each_descending(top, [&](int32_t c) {
    if (entries > budget) {  // given up: what the animals left have received is dropped
      w.sparse.forget(c);
      return;
    }
    const std::span<const Entry> own = w.sparse.settle(c);
    entries += own.size();
    const Parents p = ctx.parents[static_cast<size_t>(c)];
    if (p.big == 0) return;
    for (const Entry& e : own) {
      const double r = 0.5 * e.value;
      w.sparse.receive(p.big, e.col, r);
      if (p.small > 0) w.sparse.receive(p.small, e.col, r);
    }
    w.reached.mark(p.big);
    if (p.small > 0) w.reached.mark(p.small);
  });
  w.reached.take_ascending([](int32_t) {});  // only to clear the marks
  if (entries > budget) return false;
  std::vector<FounderTally> tallies;
  for (int32_t t = batch.first; t <= batch.last; ++t) tallies.push_back(tally_of(ctx, t));
  w.sparse.for_each_ascending([&](int32_t c, std::span<const Entry> row) {
    const double share = founder_share(ctx.parents[static_cast<size_t>(c)]);
    for (size_t i = 0; i < row.size();) {  // one period of the batch at a time
      const size_t k = row[i].col / q;
      size_t end = i + 1;
      while (end < row.size() && row[end].col / q == k) ++end;
      add_row_to_sums(row.subspan(i, end - i), static_cast<uint32_t>(k * q), ctx.D[c], q, w.s[k].data(), share,
                      tallies[k]);
      i = end;
    }
  });
  return true;
}

// An animal of the sparse sweep costs about as much as this many of the
// dense sweep (lists followed rather than rows read in place): a period
// is small when its members, and its batch's ancestors, are fewer than the
// animals below its highest member over this.
constexpr int64_t kSparseVisitCost = 16;
// Full rows are read whole at every animal: with more populations than
// this, most of what they read is zeros.
constexpr int32_t kMostDenseColumns = 32;
// The most large periods swept together on full rows, and how many times
// its members a small period must hold to join them: at least an eighth of
// what would make it large.
constexpr int32_t kMostDensePeriods = 8;
constexpr int64_t kRunMembers = 8;
// The most periods swept together, and the bytes their sums may take.
constexpr int32_t kMostBatchPeriods = 64;
constexpr double kBatchSumsBytes = 16e6;
// Where full rows fit, small periods are swept together on sparse rows
// only up to this many animals: past it, the lists an animal's entries
// take are fetched from memory rather than the cache, and one period at a
// time on full rows, its ancestors fetched ahead, is quicker (birth dates
// as periods, drift_per_period: 0.075 s alone and 0.060 s together at
// 100k records, about the same at 250k, 0.29 and 0.35 s at 500k, 0.57 and
// 0.69 s at 1M).
constexpr int32_t kMostAnimalsTogether = 1 << 18;

// The most ancestors of a small period swept over them alone.
size_t small_period_budget(const PeriodMembers& members, int32_t t) {
  return static_cast<size_t>(members.highest(t) / kSparseVisitCost);
}
// The most entries of small periods swept together: their ancestors
// alone, as many as they may be each without the dense sweep.
size_t small_batch_budget(const PeriodMembers& members, const Batch& batch) {
  size_t budget = 0;
  for (int32_t t = batch.first; t <= batch.last; ++t) budget += small_period_budget(members, t);
  return budget;
}

// How many animals ahead of the one at hand the ancestors' search fetches
// parents.
constexpr size_t kAhead = 8;

// Whether the members of a batch and every ancestor they reach are at
// most `budget` animals, and if so, all of them in `found` in decreasing
// number; stops counting past it. Leaves `reached` clear.
bool ancestors_within(const ParentTable& parents, const PeriodMembers& members, const Batch& batch, size_t budget,
                      ReachedSet& reached, std::vector<int32_t>& found) {
  found.clear();
  int32_t top = 0;
  for (int32_t t = batch.first; t <= batch.last; ++t) {
    for (int32_t c : members.of(t))
      if (reached.mark(c)) found.push_back(c);
    top = std::max(top, members.highest(t));
  }
  bool within = true;
  for (size_t i = 0; i < found.size(); ++i) {  // in no particular order
    if (found.size() > budget) {
      within = false;
      break;
    }
    if (i + kAhead < found.size()) parents.prefetch(static_cast<size_t>(found[i + kAhead]));
    const Parents p = parents[static_cast<size_t>(found[i])];
    if (p.big > 0 && reached.mark(p.big)) found.push_back(p.big);
    if (p.small > 0 && reached.mark(p.small)) found.push_back(p.small);
  }
  if (within) {
    found.clear();
    reached.for_each_descending(top, [&](int32_t c) { found.push_back(c); });
  }
  reached.take_ascending([](int32_t) {});  // only to clear the marks
  return within;
}

// A small period on full rows: only its members and their ancestors
// (`found`, in decreasing number) pass rows on and add to the sums, as
// the dense sweep would have them do; the rows of the animals a few places
// on, and of their parents, are fetched while the ones at hand are done.
void listed_sweep(const Context& ctx, std::span<const int32_t> members, int32_t t, Worker& w, std::vector<double>& s) {
  const size_t q = static_cast<size_t>(ctx.Q);
  const ParentTable& parents = ctx.parents;
  const std::vector<int32_t>& found = w.found;
  set_members(ctx.ped, q, members, w.L);
  const size_t n = found.size();
  for (size_t i = 0; i < n; ++i) {
    if (i + 2 * kAhead < n) parents.prefetch(static_cast<size_t>(found[i + 2 * kAhead]));
    if (i + kAhead < n) {
      const auto near = static_cast<size_t>(found[i + kAhead]);
      __builtin_prefetch(&w.L[near * q]);
      __builtin_prefetch(&w.L[static_cast<size_t>(parents[near].big) * q], 1);
      __builtin_prefetch(&w.L[static_cast<size_t>(parents[near].small) * q], 1);
    }
    pass_row_to_parents(parents, q, found[i], w.L);
  }
  const FounderTally tally = tally_of(ctx, t);
  for (size_t i = n; i-- > 0;) {
    if (i >= kAhead) {
      const auto next = static_cast<size_t>(found[i - kAhead]);
      __builtin_prefetch(&w.L[next * q], 1);
      __builtin_prefetch(&ctx.D[next]);
    }
    add_full_row_to_sums(ctx, found[i], w, s, tally);
  }
}

struct PeriodText {
  std::string screen, log;
};

void make_storage(const Context& ctx, const PeriodMembers& members, bool dense, int32_t batch_periods, Worker& w) {
  const size_t q = static_cast<size_t>(ctx.Q);
  const size_t rows = static_cast<size_t>(members.highest()) + 1;
  if (!w.ready) w.reached.resize(rows);  // a sweep leaves it clear
  w.ready = true;
  if (dense && w.L.empty()) w.L.assign(rows * q, 0.0);
  if (!dense && w.sparse.columns() == 0)
    w.sparse.resize(rows, std::max<size_t>(static_cast<size_t>(batch_periods) * q, 1));
}

// A batch's sweep. Where full rows fit, small periods side by side take
// the sparse sweep together, as they share most of their ancestors (a
// day's births and the next day's), and a small period alone is swept
// over its ancestors, unless they turn out many (nearly every animal
// below them in random mating), where each period takes the dense sweep,
// which visits them for less; a run of periods takes the dense sweep
// together. Otherwise the batch takes the sparse sweep.
void sweep_batch(const Context& ctx, const PeriodMembers& members, const PopulationGroups& groups, const Batch& batch,
                 bool dense_fits, int32_t widest, Worker& w) {
  clear_sums(w, batch.periods(), static_cast<size_t>(ctx.Q));
  make_storage(ctx, members, dense_fits, widest, w);
  if (!dense_fits) {
    sparse_sweep(ctx, members, batch, std::numeric_limits<size_t>::max(), w);
    return;
  }
  const auto alone = [&](int32_t t) {
    return ancestors_within(ctx.parents, members, {t, t, false}, small_period_budget(members, t), w.reached, w.found);
  };
  // Where the last period alone has many ancestors (random mating), the
  // others have too: each takes the dense sweep, with no sparse sweep
  // given up first.
  if (!batch.dense && batch.periods() > 1 && alone(batch.last)) {
    make_storage(ctx, members, false, widest, w);
    if (sparse_sweep(ctx, members, batch, small_batch_budget(members, batch), w)) return;
  }
  if (batch.dense) {
    grouped_dense_sweep(ctx, members, batch, groups, 0, w);
    return;
  }
  for (int32_t t = batch.first; t <= batch.last; ++t) {
    const auto k = static_cast<size_t>(t - batch.first);
    if (alone(t))
      listed_sweep(ctx, members.of(t), t, w, w.s[k]);
    else
      grouped_dense_sweep(ctx, members, {t, t, true}, groups, k, w);
  }
}

// The lines and figures of the periods of a batch, after its sweep.
void batch_figures(const Context& ctx, const PeriodMembers& members, const Batch& batch, Worker& w,
                   DriftResults& res, std::vector<PeriodText>& texts) {
  const size_t q = static_cast<size_t>(ctx.Q);
  for (int32_t t = batch.first; t <= batch.last; ++t) {
    w.N.assign(q + 1, 0);
    for (int32_t c : members.of(t)) ++w.N[ctx.ped.pop[c]];
    for (int32_t I = 1; I <= ctx.Q; ++I)
      res.animals[static_cast<size_t>(I - 1) * static_cast<size_t>(ctx.P) + static_cast<size_t>(t - 1)] = w.N[I];
    PeriodText& text = texts[static_cast<size_t>(t)];
    text = {period_screen_line(ctx.names.period[t]), count_lines(ctx, w.N)};
    period_figures(ctx.names, t, w.N, w.s[static_cast<size_t>(t - batch.first)], res, text.log);
  }
}

// The dense sweep on one worker took 3.7 s where the sparse one took
// 9.1 s (default-10m), so full rows for fewer workers beat lists for more
// while they have at least this share of the workers the lists would have.
constexpr double kSparseSlowdown = 2.5;

// Whether full rows of `dense_rows` bytes each, for as many of the
// `wanted` workers as `budget` holds, beat the sparse sweep on all of them.
bool dense_beats_sparse(double dense_rows, double budget, unsigned wanted) {
  if (dense_rows * wanted <= budget) return true;
  const double dense_workers = std::floor(budget / dense_rows);
  return dense_workers >= 1 && dense_workers * kSparseSlowdown >= wanted;
}

int32_t most_batch_periods(int32_t Q) {
  const double sums = static_cast<double>(std::max(Q, 1)) * std::max(Q, 1) * sizeof(double);
  return static_cast<int32_t>(std::clamp(kBatchSumsBytes / sums, 1.0, static_cast<double>(kMostBatchPeriods)));
}

// The periods in increasing order, in batches: where full rows fit
// (`dense_fits`), large periods in runs of up to `dense_periods` (as many
// as the rows of the widest group of populations hold), small ones
// dense too where they have many members and `many_ancestors(t)` finds
// that the dense sweep would take them, and then in runs: a small period
// in the run of another costs little more than that one alone, as they
// share the sweep's visits. Small periods otherwise go together with their
// small neighbours while their members stay few (where full rows fit, only
// in a pedigree of at most kMostAnimalsTogether animals).
template <class ManyAncestors>
std::vector<Batch> plan_batches(const PeriodMembers& members, int32_t Q, int32_t P, bool dense_fits,
                                int32_t dense_periods, ManyAncestors&& many_ancestors) {
  const bool together = !dense_fits || members.highest() <= kMostAnimalsTogether;
  const int32_t most = together ? most_batch_periods(Q) : 1;
  std::vector<Batch> batches;
  int64_t batch_members = 0;
  for (int32_t t = 1; t <= P; ++t) {
    const auto size = static_cast<int64_t>(members.of(t).size());
    const int64_t few = members.highest(t) / kSparseVisitCost;
    if (dense_fits) {
      // Runs only of periods with many members: the ancestors of a few
      // (a day's births) are a small part of their neighbours', and a
      // run's every row carries the blocks of all its periods.
      const bool in_runs = dense_periods > 1 && size * kRunMembers >= few;
      if (in_runs && !batches.empty() && batches.back().dense && batches.back().last == t - 1 &&
          batches.back().periods() < dense_periods) {
        batches.back().last = t;
        continue;
      }
      if (size >= few || (in_runs && many_ancestors(t))) {
        batches.push_back({t, t, true});
        continue;
      }
    }
    const bool joins = !batches.empty() && !batches.back().dense && batches.back().last == t - 1 &&
                       batches.back().periods() < most && batch_members + size < few;
    if (joins) {
      batches.back().last = t;
      batch_members += size;
    } else {
      batches.push_back({t, t, false});
      batch_members = size;
    }
  }
  return batches;
}

// The widest batch, which sizes every sparse worker's columns.
int32_t widest_batch(const std::vector<Batch>& batches) {
  int32_t widest = 1;
  for (const Batch& b : batches)
    if (!b.dense) widest = std::max(widest, b.periods());
  return widest;
}

// Batches handed out to `workers` threads in increasing order; a period's
// lines are written as soon as it and every period before it are done, by
// the worker that completes that run of periods.
void run_batches(const Context& ctx, const PeriodMembers& members, const PopulationGroups& groups,
                 const std::vector<Batch>& batches, bool dense_fits, unsigned workers, DriftResults& res,
                 const Report& report) {
  const int32_t P = ctx.P;
  const int32_t widest = widest_batch(batches);
  std::vector<Worker> storage(workers);
  std::vector<PeriodText> texts(static_cast<size_t>(P) + 1);
  std::vector<char> done(static_cast<size_t>(P) + 1, 0);
  int32_t unwritten = 1;
  std::mutex m;
  parallel_for(batches.size(), workers, [&](size_t item, unsigned w) {
    const Batch& batch = batches[item];
    Worker& worker = storage[w];
    sweep_batch(ctx, members, groups, batch, dense_fits, widest, worker);
    batch_figures(ctx, members, batch, worker, res, texts);  // its own periods' texts, unread until marked done
    std::lock_guard lock(m);
    for (int32_t t = batch.first; t <= batch.last; ++t) done[static_cast<size_t>(t)] = 1;
    for (; unwritten <= P && done[static_cast<size_t>(unwritten)]; ++unwritten) {
      report.screen.write(texts[static_cast<size_t>(unwritten)].screen);
      report.log.write(texts[static_cast<size_t>(unwritten)].log);
      texts[static_cast<size_t>(unwritten)] = {};
      advance(report.progress, 1);
    }
  });
}

}  // namespace

DriftResults drift_per_period(const Pedigree& ped, const std::vector<double>& D, const Names& names,
                              const Report& report, unsigned threads, FounderSums* founders,
                              const std::vector<int32_t>* pop_group) {
  const ParentTable parents(ped);
  const Context ctx{ped, parents, D, names, count_of(names.pop), count_of(names.period), founders};
  DriftResults res = empty_results(ctx.Q, ctx.P);
  if (founders != nullptr) {
    const size_t groups = static_cast<size_t>(ctx.Q) * static_cast<size_t>(ctx.P);
    *founders = {ctx.Q, ctx.P, std::vector<int64_t>(groups, 0), std::vector<double>(groups, 0.0)};
  }
  if (ctx.P == 0) return res;
  const PeriodMembers members(ped, ctx.Q, ctx.P);
  const unsigned wanted = std::min(worker_count(threads), static_cast<unsigned>(ctx.P));
  const double budget = memory_budget(kDriftMemoryBudget);
  // Each worker holds a bit for every animal up to the highest member, and
  // the sums of a batch's periods; for the dense sweep, L as full rows; for
  // the sparse sweep, one list end per animal, and the lists and rows,
  // which grow with the contributions: counted as three entries per
  // animal, above the 25 to 80 bytes per animal of the bench files
  // (herds as populations the most).
  const double q = std::max(ctx.Q, 1), rows = static_cast<double>(members.highest()) + 1;
  const double dense_rows = q * rows * sizeof(double);
  const bool dense_fits = ctx.Q <= kMostDenseColumns && dense_beats_sparse(dense_rows, budget, wanted);
  PopulationGroups groups;
  if (dense_fits && ctx.Q > 1) {
    groups = pop_group != nullptr && !pop_group->empty() ? PopulationGroups(*pop_group, ctx.Q)
                                                         : PopulationGroups(population_groups(ped), ctx.Q);
  }
  // Rows as wide as all populations hold that many periods of the widest group.
  const int32_t dense_periods = std::clamp(ctx.Q / std::max(groups.widest(ctx.Q), 1), 1, kMostDensePeriods);
  ReachedSet probed;
  bool probing = false;
  std::vector<int32_t> found;
  const std::vector<Batch> batches =
      plan_batches(members, ctx.Q, ctx.P, dense_fits, dense_periods, [&](int32_t t) {
        if (!std::exchange(probing, true)) probed.resize(static_cast<size_t>(members.highest()) + 1);
        return !ancestors_within(parents, members, {t, t, false}, small_period_budget(members, t), probed, found);
      });
  const bool any_sparse = std::any_of(batches.begin(), batches.end(), [&](const Batch& b) {
    return !b.dense && (!dense_fits || b.periods() > 1);
  });
  const double sparse_rows = rows * (sizeof(int32_t) + 3 * (sizeof(Entry) + 16.0));
  const double per_worker = rows / 8 + q * q * sizeof(double) * widest_batch(batches) +
                            (dense_fits ? dense_rows : 0.0) + (any_sparse ? sparse_rows : 0.0);
  run_batches(ctx, members, groups, batches, dense_fits, workers_within_budget(wanted, per_worker, budget), res,
              report);
  return res;
}

void period_figures(const Names& names, int32_t t, const std::vector<int64_t>& N, const std::vector<double>& s,
                    DriftResults& res, std::string& log) {
  const int32_t Q = res.Q;
  for (int32_t I = 1; I <= Q; ++I) {
    if (N[I] == 0) continue;
    for (int32_t J = 1; J <= Q; ++J) {
      if (N[J] == 0) continue;
      const double sum = s[static_cast<size_t>(I - 1) * static_cast<size_t>(Q) + static_cast<size_t>(J - 1)];
      res.at(res.mean_relationship, I, J, t) = sum / static_cast<double>(N[I] * N[J]);
    }
  }
  log += period_heading(names.period[t]);
  std::vector<double> row;
  for (int32_t I = 1; I <= Q; ++I) {
    if (N[I] == 0) continue;
    row.clear();
    for (int32_t J = 1; J <= I; ++J) row.push_back(res.get(res.mean_relationship, I, J, t));
    log += matrix_row(names.pop[I], row);
    for (int32_t J = 1; J < I; ++J) {
      if (N[J] == 0) continue;
      const double W = res.get(res.mean_relationship, I, I, t) + res.get(res.mean_relationship, J, J, t);
      const double B = res.get(res.mean_relationship, I, J, t);
      const double drift = W - 2.0 * B;
      res.at(res.driftvar, I, J, t) = drift;
      res.at(res.maxdriftvar, I, J, t) = W;
      res.at(res.index, I, J, t) = (100.0 * drift) / W;
    }
  }
}

}  // namespace vm::genetics
