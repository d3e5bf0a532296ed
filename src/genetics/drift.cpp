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
// A period whose members are few next to the animals below its highest one
// (birth dates as periods give thousands of small ones) is swept over its
// members' ancestors only, found first and then taken in the same
// decreasing order; should they turn out many, the dense sweep does it.
//
//
// Periods depend on nothing but D, so they are spread over threads. Each
// period's lines are collected and written in period order, so the bytes
// do not depend on the number of threads.
//
// The founder sums, when asked for, are taken where the sums read each
// row of L for the last time, just before it is cleared: a second sweep
// per period would cost as much as the first.
#include <algorithm>
#include <bit>
#include <mutex>
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

  PeriodMembers(const Pedigree& ped, int32_t Q, int32_t P) : start(static_cast<size_t>(P) + 1, 0) {
    auto member = [&](int32_t c) { return in_range(ped.period[c], P) && in_range(ped.pop[c], Q); };
    for (int32_t c = 1; c <= ped.n; ++c)
      if (member(c)) ++start[ped.period[c]];
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
  int32_t highest() const {
    int32_t h = 0;
    for (size_t t = 1; t < start.size(); ++t) h = std::max(h, highest(static_cast<int32_t>(t)));
    return h;
  }
};

// The parents of every animal, larger first (0: unknown), side by side as
// the sweeps read both at once.
struct Parents {
  int32_t big = 0, small = 0;
};
using ParentTable = std::vector<Parents>;

ParentTable parent_table(const Pedigree& ped) {
  ParentTable parents(static_cast<size_t>(std::max(ped.n, 0)) + 1);
  for (int32_t c = 1; c <= ped.n; ++c)
    parents[static_cast<size_t>(c)] = {std::max(ped.sire[c], ped.dam[c]), std::min(ped.sire[c], ped.dam[c])};
  return parents;
}

// Animal c passes half its contribution to each population to its larger
// parent, then to its smaller one (both halves to one parent on selfing).
void pass_row_to_parents(const ParentTable& parents, size_t q, int32_t c, std::vector<double>& L) {
  const auto [ks, kd] = parents[static_cast<size_t>(c)];
  if (ks == 0) return;
  const double* own = &L[static_cast<size_t>(c) * q];
  double* big = &L[static_cast<size_t>(ks) * q];
  double* small = &L[static_cast<size_t>(kd) * q];  // row 0 when kd is unknown, never used then
  for (size_t I = 0; I < q; ++I) {
    if (own[I] == 0.0) continue;
    const double r = 0.5 * own[I];
    big[I] += r;
    if (kd > 0) small[I] += r;
  }
}

void set_members(const Pedigree& ped, size_t q, std::span<const int32_t> members, std::vector<double>& L) {
  for (int32_t c : members) L[static_cast<size_t>(c) * q + static_cast<size_t>(ped.pop[c] - 1)] = 1.0;
}

// How many animals ahead of the one at hand the sparse passes fetch rows.
constexpr size_t kAhead = 8;

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

// The members and every ancestor they reach, in decreasing number, into
// `visited`: the animals that the dense sweep finds with a contribution
// (and perhaps some with only zeros, which pass nothing). Gives up (false)
// once they pass `budget`. Leaves `reached` clear.
bool find_ancestors(const ParentTable& parents, std::span<const int32_t> members, size_t budget, ReachedSet& reached,
                    std::vector<int32_t>& visited) {
  visited.clear();
  for (int32_t c : members)
    if (reached.mark(c)) visited.push_back(c);
  bool all = true;
  for (size_t i = 0; i < visited.size(); ++i) {  // in no particular order
    if (visited.size() > budget) {
      all = false;
      break;
    }
    if (i + kAhead < visited.size()) __builtin_prefetch(&parents[static_cast<size_t>(visited[i + kAhead])]);
    const Parents p = parents[static_cast<size_t>(visited[i])];
    if (p.big > 0 && reached.mark(p.big)) visited.push_back(p.big);
    if (p.small > 0 && reached.mark(p.small)) visited.push_back(p.small);
  }
  visited.clear();
  reached.for_each_descending(members.back(), [&](int32_t c) { visited.push_back(c); });
  reached.take_ascending([](int32_t) {});  // only to clear the marks
  return all;
}

// The dense sweep's step for each animal of `visited`, in that order; the
// rows of the animals a few places on and of their parents are fetched
// while the ones at hand are done.
void pass_rows_of(const ParentTable& parents, size_t q, const std::vector<int32_t>& visited, std::vector<double>& L) {
  const size_t n = visited.size();
  for (size_t i = 0; i < n; ++i) {
    if (i + 2 * kAhead < n) __builtin_prefetch(&parents[static_cast<size_t>(visited[i + 2 * kAhead])]);
    if (i + kAhead < n) {
      const auto near = static_cast<size_t>(visited[i + kAhead]);
      __builtin_prefetch(&L[near * q]);
      __builtin_prefetch(&L[static_cast<size_t>(parents[near].big) * q], 1);
      __builtin_prefetch(&L[static_cast<size_t>(parents[near].small) * q], 1);
    }
    pass_row_to_parents(parents, q, visited[i], L);
  }
}

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

// Adds the terms of animal c to s(I, J) (0-based, at s[I * Q + J]) and, if
// it has a founder's share, to the founder sums; clears its row of L.
void add_to_sums(double* row, double Dc, size_t q, std::vector<double>& s, std::vector<size_t>& nonzero, double share,
                 const FounderTally& tally) {
  nonzero.clear();
  for (size_t I = 0; I < q; ++I)
    if (row[I] != 0.0) nonzero.push_back(I);
  if (share != 0.0 && tally.founders != nullptr) {
    for (size_t I : nonzero) {
      const double part = share * row[I];
      ++tally.founders[I];
      tally.squares[I] += part * part;
    }
  }
  for (size_t I : nonzero) {
    const double weighted = row[I] * Dc;
    double* out = &s[I * q];
    for (size_t J : nonzero) out[J] += weighted * row[J];
  }
  for (size_t I : nonzero) row[I] = 0.0;
}

// s(I, J) = sum over c increasing of (L(I, c) D(c)) L(J, c), over the
// animals of a sparse sweep (visited in decreasing number): no other row
// of L holds anything. Each row is cleared once used (add_to_sums), which
// leaves L zero for the next period without another pass.
void relationship_sums_of(const ParentTable& parents, const std::vector<int32_t>& visited, std::vector<double>& L,
                          const std::vector<double>& D, size_t q, std::vector<double>& s, std::vector<size_t>& nonzero,
                          const FounderTally& tally) {
  std::fill(s.begin(), s.end(), 0.0);
  for (size_t i = visited.size(); i-- > 0;) {
    if (i >= kAhead) {
      const auto next = static_cast<size_t>(visited[i - kAhead]);
      __builtin_prefetch(&L[next * q], 1);
      __builtin_prefetch(&D[next]);
    }
    const auto c = static_cast<size_t>(visited[i]);
    add_to_sums(&L[c * q], D[c], q, s, nonzero, founder_share(parents[c]), tally);
  }
}

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

// One thread's working storage: L for the highest member of any period,
// and the Q x Q sums. L is zero between periods. For the sparse sweep: the
// animals reached and the list of them.
struct Worker {
  std::vector<double> L, s;
  std::vector<size_t> nonzero;
  std::vector<int64_t> N;
  ReachedSet reached;
  std::vector<int32_t> visited;
  bool ready = false;
};

// The dense sweep and the sums, over the animals that hold anything: the
// members and, as the sweep reaches them, their parents, marked one bit
// each, so that the rows of animals with nothing are never read. The
// order is that of the dense sweep (decreasing) and of the sums
// (increasing), so the bits are the same.
void marked_sweep(const Context& ctx, std::span<const int32_t> members, const FounderTally& tally, Worker& w) {
  const size_t q = static_cast<size_t>(ctx.Q);
  for (int32_t c : members) w.reached.mark(c);
  w.reached.for_each_descending(members.empty() ? 0 : members.back(), [&](int32_t c) {
    const Parents p = ctx.parents[static_cast<size_t>(c)];
    if (p.big == 0) return;
    pass_row_to_parents(ctx.parents, q, c, w.L);
    w.reached.mark(p.big);
    if (p.small > 0) w.reached.mark(p.small);
  });
  std::fill(w.s.begin(), w.s.end(), 0.0);
  w.reached.take_ascending([&](int32_t c) {
    add_to_sums(&w.L[static_cast<size_t>(c) * q], ctx.D[c], q, w.s, w.nonzero,
                founder_share(ctx.parents[static_cast<size_t>(c)]), tally);
  });
}

// An animal of the sparse sweep costs about as much as this many of the
// dense sweep (found first, then random rather than sequential access to L).
constexpr int64_t kSparseVisitCost = 16;

// L and the sums of a period's members: the sparse sweep while the
// ancestors are few next to the animals below the highest member, else (or
// once they turn out many) the dense sweep; both give the same bits.
void contributions_and_sums(const Context& ctx, std::span<const int32_t> members, const FounderTally& tally,
                            Worker& w) {
  const size_t q = static_cast<size_t>(ctx.Q);
  const int32_t top = members.empty() ? 0 : members.back();
  set_members(ctx.ped, q, members, w.L);
  const int64_t budget = top / kSparseVisitCost;
  if (!members.empty() && static_cast<int64_t>(members.size()) < budget &&
      find_ancestors(ctx.parents, members, static_cast<size_t>(budget), w.reached, w.visited)) {
    pass_rows_of(ctx.parents, q, w.visited, w.L);
    relationship_sums_of(ctx.parents, w.visited, w.L, ctx.D, q, w.s, w.nonzero, tally);
    return;
  }
  marked_sweep(ctx, members, tally, w);
}


struct PeriodText {
  std::string screen, log;
};

PeriodText compute_period(const Context& ctx, const PeriodMembers& members, int32_t t, Worker& w,
                          DriftResults& res) {
  const size_t q = static_cast<size_t>(ctx.Q);
  if (!w.ready) {  // allocated on the worker's own thread, when it starts
    const size_t rows = static_cast<size_t>(members.highest()) + 1;
    w.L.assign(rows * q, 0.0);
    w.s.assign(q * q, 0.0);
    w.reached.resize(rows);
    w.ready = true;
  }
  w.N.assign(q + 1, 0);
  for (int32_t c : members.of(t)) ++w.N[ctx.ped.pop[c]];
  for (int32_t I = 1; I <= ctx.Q; ++I) res.animals[static_cast<size_t>(I - 1) * static_cast<size_t>(ctx.P) + static_cast<size_t>(t - 1)] = w.N[I];
  PeriodText text{period_screen_line(ctx.names.period[t]), count_lines(ctx, w.N)};
  FounderTally tally;
  if (ctx.founders != nullptr && ctx.Q > 0) {  // the period's own stretch, zero from the start
    const size_t first = ctx.founders->slot(1, t);
    tally = {&ctx.founders->founders[first], &ctx.founders->squares[first]};
  }
  contributions_and_sums(ctx, members.of(t), tally, w);
  period_figures(ctx.names, t, w.N, w.s, res, text.log);
  return text;
}

// Periods handed out to `workers` threads in increasing order; a period's
// lines are written as soon as it and every period before it are done, by
// the worker that completes that run of periods.
void run_periods(const Context& ctx, const PeriodMembers& members, unsigned workers, DriftResults& res,
                 const Report& report) {
  const int32_t P = ctx.P;
  std::vector<Worker> storage(workers);
  std::vector<PeriodText> texts(static_cast<size_t>(P) + 1);
  std::vector<char> done(static_cast<size_t>(P) + 1, 0);
  int32_t unwritten = 1;
  std::mutex m;
  parallel_for(static_cast<size_t>(P), workers, [&](size_t item, unsigned w) {
    const int32_t t = static_cast<int32_t>(item) + 1;
    PeriodText text = compute_period(ctx, members, t, storage[w], res);
    std::lock_guard lock(m);
    texts[t] = std::move(text);
    done[t] = 1;
    for (; unwritten <= P && done[unwritten]; ++unwritten) {
      report.screen.write(texts[unwritten].screen);
      report.log.write(texts[unwritten].log);
      texts[unwritten] = {};
      advance(report.progress, 1);
    }
  });
}

}  // namespace

DriftResults drift_per_period(const Pedigree& ped, const std::vector<double>& D, const Names& names,
                              const Report& report, unsigned threads, FounderSums* founders) {
  const ParentTable parents = parent_table(ped);
  const Context ctx{ped, parents, D, names, count_of(names.pop), count_of(names.period), founders};
  DriftResults res = empty_results(ctx.Q, ctx.P);
  if (founders != nullptr) {
    const size_t groups = static_cast<size_t>(ctx.Q) * static_cast<size_t>(ctx.P);
    *founders = {ctx.Q, ctx.P, std::vector<int64_t>(groups, 0), std::vector<double>(groups, 0.0)};
  }
  if (ctx.P == 0) return res;
  const PeriodMembers members(ped, ctx.Q, ctx.P);
  // Each worker holds L and a bit for every animal up to the highest
  // member, and the sums.
  const double q = std::max(ctx.Q, 1), rows = static_cast<double>(members.highest()) + 1;
  const double per_worker = q * (rows + q) * sizeof(double) + rows / 8;
  const unsigned wanted = std::min(worker_count(threads), static_cast<unsigned>(ctx.P));
  run_periods(ctx, members, workers_within_budget(wanted, per_worker, memory_budget(kDriftMemoryBudget)), res, report);
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
