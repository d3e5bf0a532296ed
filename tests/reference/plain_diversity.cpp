#include "reference/plain_diversity.h"

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace vm::genetics {
namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
using Matrix = std::vector<std::vector<double>>;

Matrix tabular_relationships(const Pedigree& ped) {
  const int32_t n = ped.n;
  Matrix A(n + 1, std::vector<double>(n + 1, 0.0));
  for (int32_t i = 1; i <= n; ++i) {
    const int32_t s = ped.sire[i], d = ped.dam[i];
    for (int32_t j = 1; j < i; ++j) A[i][j] = A[j][i] = 0.5 * (A[j][s] + A[j][d]);
    A[i][i] = 1.0 + (s != 0 && d != 0 ? 0.5 * A[s][d] : 0.0);
  }
  return A;
}

// T with T[i][j] the share of ancestor j's genes in animal i (T[i][i] = 1).
Matrix gene_flow(const Pedigree& ped) {
  const int32_t n = ped.n;
  Matrix T(n + 1, std::vector<double>(n + 1, 0.0));
  for (int32_t i = 1; i <= n; ++i) {
    T[i][i] = 1.0;
    for (int32_t parent : {ped.sire[i], ped.dam[i]})
      if (parent != 0)
        for (int32_t j = 1; j <= n; ++j) T[i][j] += 0.5 * T[parent][j];
  }
  return T;
}

}  // namespace

PedigreeDepth pedigree_depth_recursive(const Pedigree& ped) {
  PedigreeDepth depth;
  const size_t size = static_cast<size_t>(ped.n) + 1;
  depth.equivalent.assign(size, 0.0);
  depth.complete.assign(size, 0);
  depth.maximum.assign(size, 0);
  std::vector<char> known(size, 0);  // each animal's figures once, or the walk grows with the paths
  std::function<void(int32_t)> visit = [&](int32_t i) {
    if (known[i]) return;
    const int32_t s = ped.sire[i], d = ped.dam[i];
    double t = 0;
    int32_t most = -1;
    for (int32_t parent : {s, d}) {
      if (parent == 0) continue;
      visit(parent);
      t += (1 + depth.equivalent[parent]) / 2;
      most = std::max(most, depth.maximum[parent]);
    }
    depth.equivalent[i] = t;
    depth.maximum[i] = most + 1;
    depth.complete[i] = s == 0 || d == 0 ? 0 : 1 + std::min(depth.complete[s], depth.complete[d]);
    known[i] = 1;
  };
  for (int32_t i = ped.n; i >= 1; --i) visit(i);  // offspring first: the walk finds the parents' figures
  return depth;
}

Diversity diversity_dense(const Pedigree& ped, int32_t Q, int32_t P) {
  const int32_t n = ped.n;
  const Matrix A = tabular_relationships(ped), T = gene_flow(ped);
  const PedigreeDepth depth = pedigree_depth_recursive(ped);
  Diversity out;
  out.Q = Q;
  out.P = P;
  out.groups.resize(static_cast<size_t>(Q) * P);
  out.periods.resize(static_cast<size_t>(P));
  std::vector<std::vector<std::vector<int32_t>>> members(P + 1, std::vector<std::vector<int32_t>>(Q + 1));
  for (int32_t i = 1; i <= n; ++i)
    if (ped.pop[i] >= 1 && ped.pop[i] <= Q && ped.period[i] >= 1 && ped.period[i] <= P)
      members[ped.period[i]][ped.pop[i]].push_back(i);
  auto mean_relationship = [&](const std::vector<int32_t>& x, const std::vector<int32_t>& y) {
    double sum = 0;
    for (int32_t i : x)
      for (int32_t j : y) sum += A[i][j];
    return sum / (static_cast<double>(x.size()) * static_cast<double>(y.size()));
  };
  for (int32_t t = 1; t <= P; ++t) {
    for (int32_t I = 1; I <= Q; ++I) {
      const std::vector<int32_t>& g = members[t][I];
      GroupFigures& f = out.groups[static_cast<size_t>(t - 1) * Q + (I - 1)];
      f.n = static_cast<int64_t>(g.size());
      const double n_g = static_cast<double>(g.size());
      if (g.empty()) {
        for (double* v : {&f.mean_inbreeding, &f.mean_relationship_within, &f.founder_genome_equivalents,
                          &f.effective_founders, &f.mean_equivalent_generations, &f.mean_complete_generations,
                          &f.mean_maximum_generations, &f.ne_delta_f, &f.ne_delta_f_se})
          *v = kNone;
        continue;
      }
      double F = 0, te = 0, tc = 0, tm = 0;
      std::vector<double> dF;
      for (int32_t i : g) {
        const int known = (ped.sire[i] != 0) + (ped.dam[i] != 0);
        f.both_parents += known == 2;
        f.one_parent += known == 1;
        F += A[i][i] - 1;
        te += depth.equivalent[i];
        tc += depth.complete[i];
        tm += depth.maximum[i];
        if (depth.equivalent[i] > 1) dF.push_back(1 - std::pow(2 - A[i][i], 1 / (depth.equivalent[i] - 1)));
      }
      f.mean_inbreeding = F / n_g;
      f.mean_relationship_within = mean_relationship(g, g);
      f.founder_genome_equivalents = 1 / f.mean_relationship_within;
      f.mean_equivalent_generations = te / n_g;
      f.mean_complete_generations = tc / n_g;
      f.mean_maximum_generations = tm / n_g;
      // q = T'x, x = 1/n on the members.
      double squares = 0;
      for (int32_t j = 1; j <= n; ++j) {
        double q = 0;
        for (int32_t i : g) q += T[i][j] / n_g;
        const int known = (ped.sire[j] != 0) + (ped.dam[j] != 0);
        const double founder = known == 0 ? q : known == 1 ? q / 2 : 0.0;
        if (founder > 0) {
          ++f.founders;
          squares += founder * founder;
        }
      }
      f.effective_founders = 1 / squares;
      f.n_delta_f = static_cast<int64_t>(dF.size());
      double mean = 0;
      for (double d : dF) mean += d;
      mean = dF.empty() ? 0 : mean / static_cast<double>(dF.size());
      f.ne_delta_f = dF.empty() || mean == 0 ? kNone : 1 / (2 * mean);
      f.ne_delta_f_se = kNone;
      if (dF.size() >= 2 && !std::isnan(f.ne_delta_f)) {
        double ss = 0;
        for (double d : dF) ss += (d - mean) * (d - mean);
        const double sd = std::sqrt(ss / static_cast<double>(dF.size() - 1));
        f.ne_delta_f_se = 2 / std::sqrt(static_cast<double>(dF.size())) * f.ne_delta_f * f.ne_delta_f * sd;
      }
    }
    PeriodFStatistics& s = out.periods[static_cast<size_t>(t - 1)];
    std::vector<int32_t> present;
    for (int32_t I = 1; I <= Q; ++I)
      if (!members[t][I].empty()) present.push_back(I);
    s.populations = static_cast<int32_t>(present.size());
    const double k = static_cast<double>(present.size());
    double F = 0, within = 0, total = 0;
    for (int32_t p : present) {
      F += out.groups[static_cast<size_t>(t - 1) * Q + (p - 1)].mean_inbreeding;
      within += mean_relationship(members[t][p], members[t][p]) / 2;
      for (int32_t q : present) total += mean_relationship(members[t][p], members[t][q]) / 2;
    }
    s.mean_inbreeding = present.empty() ? kNone : F / k;
    s.f_within = present.empty() ? kNone : within / k;
    s.f_total = present.empty() ? kNone : total / (k * k);
    s.f_is = (s.mean_inbreeding - s.f_within) / (1 - s.f_within);
    s.f_st = present.size() > 1 ? (s.f_within - s.f_total) / (1 - s.f_total) : kNone;
    s.f_it = present.size() > 1 ? (s.mean_inbreeding - s.f_total) / (1 - s.f_total) : kNone;
  }
  return out;
}

}  // namespace vm::genetics
