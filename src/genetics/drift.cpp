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
// the bits agree. Animals with no contribution are skipped; adding +0 would
// not change a non-negative sum either.
//
// Periods depend on nothing but D, so they are spread over threads. Each
// period's lines are collected and written in period order, so the bytes
// do not depend on the number of threads.
#include <algorithm>
#include <mutex>
#include <vector>

#include "common/cpus.h"
#include "common/format.h"
#include "common/parallel.h"
#include "genetics/genetics.h"

namespace vm::genetics {
namespace {

bool in_range(int32_t v, int32_t hi) { return v >= 1 && v <= hi; }

// The members of each period, by increasing animal number.
struct PeriodMembers {
  std::vector<int64_t> start;    // members of period a: animal[start[a - 1] .. start[a])
  std::vector<int32_t> animal;

  PeriodMembers(const SortedPedigree& ped, int32_t Q, int32_t P) : start(static_cast<size_t>(P) + 1, 0) {
    auto member = [&](int32_t c) { return in_range(ped.period[c], P) && in_range(ped.pop[c], Q); };
    for (int32_t c = 1; c <= ped.n; ++c)
      if (member(c)) ++start[ped.period[c]];
    for (int32_t a = 1; a <= P; ++a) start[a] += start[a - 1];
    animal.resize(static_cast<size_t>(start[P]));
    std::vector<int64_t> next(start.begin(), start.end() - 1);
    for (int32_t c = 1; c <= ped.n; ++c)
      if (member(c)) animal[next[ped.period[c] - 1]++] = c;
  }

  std::span<const int32_t> of(int32_t a) const {
    return {animal.data() + start[a - 1], static_cast<size_t>(start[a] - start[a - 1])};
  }
  // The highest member of period a, 0 when it has none.
  int32_t highest(int32_t a) const { return start[a] > start[a - 1] ? animal[start[a] - 1] : 0; }
  int32_t highest() const {
    int32_t h = 0;
    for (size_t a = 1; a < start.size(); ++a) h = std::max(h, highest(static_cast<int32_t>(a)));
    return h;
  }
};

// L(I, c) for all I of the period at L[c * Q + I - 1], for c up to the
// highest member `top`; L must be zero there on entry.
void sweep_contributions(const SortedPedigree& ped, int32_t Q, std::span<const int32_t> members, int32_t top,
                         std::vector<double>& L) {
  const size_t q = static_cast<size_t>(Q);
  for (int32_t c : members) L[static_cast<size_t>(c) * q + static_cast<size_t>(ped.pop[c] - 1)] = 1.0;
  for (int32_t c = top; c >= 1; --c) {
    const int32_t ks = std::max(ped.sire[c], ped.dam[c]);
    if (ks == 0) continue;
    const int32_t kd = std::min(ped.sire[c], ped.dam[c]);
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
}

// s(I, J) = sum over c increasing of (L(I, c) D(c)) L(J, c), at s[I * Q + J]
// (0-based), over the terms that are not zero. Each row of L is cleared
// once used, which leaves L zero for the next period without another pass.
void relationship_sums_clearing(std::vector<double>& L, const std::vector<double>& D, int32_t Q, int32_t top,
                                std::vector<double>& s, std::vector<size_t>& nonzero) {
  const size_t q = static_cast<size_t>(Q);
  std::fill(s.begin(), s.end(), 0.0);
  for (int32_t c = 1; c <= top; ++c) {
    double* row = &L[static_cast<size_t>(c) * q];
    nonzero.clear();
    for (size_t I = 0; I < q; ++I)
      if (row[I] != 0.0) nonzero.push_back(I);
    for (size_t I : nonzero) {
      const double weighted = row[I] * D[c];
      double* out = &s[I * q];
      for (size_t J : nonzero) out[J] += weighted * row[J];
    }
    for (size_t I : nonzero) row[I] = 0.0;
  }
}

// What the period loop needs besides the per-period working storage.
struct Context {
  const SortedPedigree& ped;
  const std::vector<double>& D;
  const Names& names;
  int32_t Q, P;
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
  res.xzazx.assign(size, 0.0);
  res.driftvar.assign(size, 0.0);
  res.maxdriftvar.assign(size, 0.0);
  res.velmora.assign(size, 0.0);
  return res;
}

namespace {

int32_t count_of(const std::vector<std::string>& names) { return names.empty() ? 0 : static_cast<int32_t>(names.size()) - 1; }

// One thread's working storage: L for the highest member of any period,
// and the Q x Q sums. L is zero between periods.
struct Worker {
  std::vector<double> L, s;
  std::vector<size_t> nonzero;
  std::vector<int64_t> N;
  bool ready = false;
};

struct PeriodText {
  std::string screen, log;
};

PeriodText compute_period(const Context& ctx, const PeriodMembers& members, int32_t a, Worker& w,
                          DriftResults& res) {
  const size_t q = static_cast<size_t>(ctx.Q);
  if (!w.ready) {  // allocated on the worker's own thread, when it starts
    w.L.assign((static_cast<size_t>(members.highest()) + 1) * q, 0.0);
    w.s.assign(q * q, 0.0);
    w.ready = true;
  }
  w.N.assign(q + 1, 0);
  for (int32_t c : members.of(a)) ++w.N[ctx.ped.pop[c]];
  PeriodText text{period_screen_line(ctx.names.period[a]), count_lines(ctx, w.N)};
  const int32_t top = members.highest(a);
  sweep_contributions(ctx.ped, ctx.Q, members.of(a), top, w.L);
  relationship_sums_clearing(w.L, ctx.D, ctx.Q, top, w.s, w.nonzero);
  period_figures(ctx.names, a, w.N, w.s, res, text.log);
  return text;
}

// Periods handed out to `workers` threads in increasing order; a period's
// lines are written as soon as it and every period before it are done, by
// the worker that completes that run of periods.
void run_periods(const Context& ctx, const PeriodMembers& members, unsigned workers, DriftResults& res, Sink& screen,
                 Sink& log) {
  const int32_t P = ctx.P;
  std::vector<Worker> storage(workers);
  std::vector<PeriodText> texts(static_cast<size_t>(P) + 1);
  std::vector<char> done(static_cast<size_t>(P) + 1, 0);
  int32_t unwritten = 1;
  std::mutex m;
  parallel_for(static_cast<size_t>(P), workers, [&](size_t item, unsigned w) {
    const int32_t a = static_cast<int32_t>(item) + 1;
    PeriodText text = compute_period(ctx, members, a, storage[w], res);
    std::lock_guard lock(m);
    texts[a] = std::move(text);
    done[a] = 1;
    for (; unwritten <= P && done[unwritten]; ++unwritten) {
      screen.write(texts[unwritten].screen);
      log.write(texts[unwritten].log);
      texts[unwritten] = {};
    }
  });
}

}  // namespace

std::vector<double> CALCL_period(const SortedPedigree& ped, int32_t Q, int32_t a) {
  const int32_t P = std::max(a, 1);
  PeriodMembers members(ped, Q, P);
  std::vector<double> L((static_cast<size_t>(std::max(ped.n, 0)) + 1) * static_cast<size_t>(Q), 0.0);
  if (a >= 1) sweep_contributions(ped, Q, members.of(a), members.highest(a), L);
  return L;
}

DriftResults drift_per_period(const SortedPedigree& ped, const std::vector<double>& D, const Names& names,
                              Sink& screen, Sink& log, unsigned threads) {
  const Context ctx{ped, D, names, count_of(names.pop), count_of(names.period)};
  DriftResults res = empty_results(ctx.Q, ctx.P);
  if (ctx.P == 0) return res;
  const PeriodMembers members(ped, ctx.Q, ctx.P);
  // Each worker holds L for every animal up to the highest member, and
  // the sums.
  const double q = std::max(ctx.Q, 1);
  const double per_worker = q * (static_cast<double>(members.highest()) + 1 + q) * sizeof(double);
  const unsigned wanted = std::min(threads != 0 ? threads : usable_cpus(), static_cast<unsigned>(ctx.P));
  run_periods(ctx, members, workers_within_budget(wanted, per_worker, kDriftMemoryBudget), res, screen, log);
  return res;
}

void period_figures(const Names& names, int32_t a, const std::vector<int64_t>& N, const std::vector<double>& s,
                    DriftResults& res, std::string& log) {
  const int32_t Q = res.Q;
  for (int32_t I = 1; I <= Q; ++I) {
    if (N[I] == 0) continue;
    for (int32_t J = 1; J <= Q; ++J) {
      if (N[J] == 0) continue;
      const double sum = s[static_cast<size_t>(I - 1) * static_cast<size_t>(Q) + static_cast<size_t>(J - 1)];
      res.at(res.xzazx, I, J, a) = sum / static_cast<double>(N[I] * N[J]);
    }
  }
  log += period_heading(names.period[a]);
  std::vector<double> row;
  for (int32_t I = 1; I <= Q; ++I) {
    if (N[I] == 0) continue;
    row.clear();
    for (int32_t J = 1; J <= I; ++J) row.push_back(res.get(res.xzazx, I, J, a));
    log += matrix_row(names.pop[I], row);
    for (int32_t J = 1; J < I; ++J) {
      if (N[J] == 0) continue;
      const double W = res.get(res.xzazx, I, I, a) + res.get(res.xzazx, J, J, a);
      const double B = res.get(res.xzazx, I, J, a);
      const double drift = W - 2.0 * B;
      res.at(res.driftvar, I, J, a) = drift;
      res.at(res.maxdriftvar, I, J, a) = W;
      res.at(res.velmora, I, J, a) = (100.0 * drift) / W;
    }
  }
}

}  // namespace vm::genetics
