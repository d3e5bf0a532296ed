// Diversity figures per group and period. Everything here is one pass over
// the animals or over the groups; the founders' shares come from the
// period loop, which has every group's contributions at hand anyway.
#include "genetics/diversity.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vm::genetics {
namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// A group's running sums while the animals go by; the increases in
// inbreeding as a running mean and sum of squared deviations, which keeps
// their spread exact where all of them are nearly equal.
struct GroupSums {
  double F = 0, equivalent = 0, complete = 0, maximum = 0;
  double dF_mean = 0, dF_squares = 0;
};

double mean_of(double sum, int64_t n) { return n > 0 ? sum / static_cast<double>(n) : kNone; }

}  // namespace

PedigreeDepth pedigree_depth(const Pedigree& ped) {
  const size_t size = static_cast<size_t>(std::max(ped.n, 0)) + 1;
  PedigreeDepth depth{std::vector<double>(size, 0.0), std::vector<int32_t>(size, 0), std::vector<int32_t>(size, 0)};
  for (int32_t i = 1; i <= ped.n; ++i) {
    const int32_t s = ped.sire[i], d = ped.dam[i];
    double t = 0;
    int32_t highest = -1;
    for (int32_t parent : {s, d}) {
      if (parent == 0) continue;
      t += (1.0 + depth.equivalent[parent]) / 2.0;
      highest = std::max(highest, depth.maximum[parent]);
    }
    depth.equivalent[i] = t;
    depth.maximum[i] = highest + 1;  // 0 without a known parent
    depth.complete[i] = s != 0 && d != 0 ? 1 + std::min(depth.complete[s], depth.complete[d]) : 0;
  }
  return depth;
}

double individual_delta_F(double F, double equivalent_generations) {
  if (!(equivalent_generations > 1.0)) return kNone;
  // 1 - (1 - F)^(1 / (t - 1)) without the cancellation of 1 - (nearly 1)
  // that the common small F would suffer.
  return -std::expm1(std::log1p(-F) / (equivalent_generations - 1.0));
}

Diversity diversity(const Pedigree& ped, const std::vector<double>& F, const PedigreeDepth& depth,
                    const DriftResults& drift, const FounderSums& founders) {
  const int32_t Q = drift.Q, P = drift.P;
  Diversity out{Q, P, std::vector<GroupFigures>(static_cast<size_t>(Q) * static_cast<size_t>(P)),
                std::vector<PeriodFStatistics>(static_cast<size_t>(std::max(P, 0)))};
  std::vector<GroupSums> sums(out.groups.size());
  for (int32_t c = 1; c <= ped.n; ++c) {
    const int32_t I = ped.pop[c], t = ped.period[c];
    if (I < 1 || I > Q || t < 1 || t > P) continue;
    const size_t g = static_cast<size_t>(t - 1) * static_cast<size_t>(Q) + static_cast<size_t>(I - 1);
    GroupFigures& group = out.groups[g];
    GroupSums& sum = sums[g];
    ++group.n;
    const int known = (ped.sire[c] != 0) + (ped.dam[c] != 0);
    group.both_parents += known == 2;
    group.one_parent += known == 1;
    sum.F += F[c];
    sum.equivalent += depth.equivalent[c];
    sum.complete += depth.complete[c];
    sum.maximum += depth.maximum[c];
    if (depth.equivalent[c] > 1.0) {
      const double dF = individual_delta_F(F[c], depth.equivalent[c]);
      const double step = dF - sum.dF_mean;
      sum.dF_mean += step / static_cast<double>(++group.n_delta_f);
      sum.dF_squares += step * (dF - sum.dF_mean);
    }
  }
  for (int32_t t = 1; t <= P; ++t) {
    for (int32_t I = 1; I <= Q; ++I) {
      const size_t g = static_cast<size_t>(t - 1) * static_cast<size_t>(Q) + static_cast<size_t>(I - 1);
      GroupFigures& group = out.groups[g];
      const GroupSums& sum = sums[g];
      const int64_t n = group.n;
      group.mean_inbreeding = mean_of(sum.F, n);
      group.mean_relationship_within = n > 0 ? drift.get(drift.mean_relationship, I, I, t) : kNone;
      group.founder_genome_equivalents = 1.0 / group.mean_relationship_within;
      // The shares are L / n: the sum of their squares is squares / n^2.
      const double squares = founders.squares.empty() ? 0.0 : founders.squares[founders.slot(I, t)];
      group.founders = founders.founders.empty() ? 0 : founders.founders[founders.slot(I, t)];
      group.effective_founders = squares > 0 ? static_cast<double>(n) * static_cast<double>(n) / squares : kNone;
      group.mean_equivalent_generations = mean_of(sum.equivalent, n);
      group.mean_complete_generations = mean_of(sum.complete, n);
      group.mean_maximum_generations = mean_of(sum.maximum, n);
      const int64_t k = group.n_delta_f;
      group.ne_delta_f = k > 0 && sum.dF_mean != 0.0 ? 1.0 / (2.0 * sum.dF_mean) : kNone;
      group.ne_delta_f_se =
          k >= 2 && !std::isnan(group.ne_delta_f)
              ? 2.0 / std::sqrt(static_cast<double>(k)) * group.ne_delta_f * group.ne_delta_f *
                    std::sqrt(sum.dF_squares / static_cast<double>(k - 1))
              : kNone;
    }
    // The period's populations with animals, each weighted equally.
    PeriodFStatistics& f = out.periods[static_cast<size_t>(t - 1)];
    double within = 0, total = 0, inbreeding = 0;
    for (int32_t I = 1; I <= Q; ++I) {
      if (out.group(I, t).n == 0) continue;
      ++f.populations;
      within += drift.get(drift.mean_relationship, I, I, t) / 2.0;
      inbreeding += out.group(I, t).mean_inbreeding;
      for (int32_t J = 1; J <= Q; ++J)
        if (out.group(J, t).n > 0) total += drift.get(drift.mean_relationship, I, J, t) / 2.0;
    }
    const double k = f.populations;
    f.mean_inbreeding = mean_of(inbreeding, f.populations);
    f.f_within = mean_of(within, f.populations);
    f.f_total = f.populations > 0 ? total / (k * k) : kNone;
    f.f_is = (f.mean_inbreeding - f.f_within) / (1.0 - f.f_within);
    f.f_st = f.populations > 1 ? (f.f_within - f.f_total) / (1.0 - f.f_total) : kNone;
    f.f_it = f.populations > 1 ? (f.mean_inbreeding - f.f_total) / (1.0 - f.f_total) : kNone;
  }
  return out;
}

double nei_distance(const DriftResults& drift, int32_t I, int32_t J, int32_t t) {
  const double fII = drift.get(drift.mean_relationship, I, I, t) / 2.0, fJJ = drift.get(drift.mean_relationship, J, J, t) / 2.0;
  return (fII + fJJ) / 2.0 - drift.get(drift.mean_relationship, I, J, t) / 2.0;
}

}  // namespace vm::genetics
