#include "reference/plain_genetics.h"

#include <algorithm>

#include "common/format.h"
#include "genetics/levels.h"

namespace vm::genetics {
namespace {

// The step both list walks share: the ancestor j, with contribution
// value[j], passes half of it to its larger parent ks and then to its
// smaller parent kd, inserting each into the list (kept in decreasing
// number) unless it is there already. point is the list; the search for kd
// continues from where ks was found.
void pass_half_to_parents(std::vector<int32_t>& point, std::vector<double>& value, int32_t j, int32_t ks,
                                 int32_t kd) {
  if (ks <= 0) return;
  int32_t k = j;
  const double r = 0.5 * value[j];
  while (point[k] > ks) k = point[k];
  value[ks] += r;
  if (point[k] != ks) {
    point[ks] = point[k];
    point[k] = ks;
  }
  if (kd > 0) {
    while (point[k] > kd) k = point[k];
    value[kd] += r;
    if (point[k] != kd) {
      point[kd] = point[k];
      point[k] = kd;
    }
  }
}


}  // namespace

Inbreeding inbreeding_plain(const Pedigree& ped, Sink& screen) {
  const int32_t n = ped.n;
  const size_t size = static_cast<size_t>(std::max(n, 0)) + 1;
  Inbreeding r;
  r.F.assign(size, 0.0);
  r.D.assign(size, 0.0);
  r.F[0] = -1.0;
  std::vector<double>& F = r.F;
  std::vector<double>& D = r.D;
  std::vector<int32_t> ped1(ped.sire.begin(), ped.sire.begin() + static_cast<std::ptrdiff_t>(size));
  std::vector<int32_t> ped2(ped.dam.begin(), ped.dam.begin() + static_cast<std::ptrdiff_t>(size));
  std::vector<int32_t> point(size, 0);
  std::vector<double> LL(size, 0.0);
  for (int32_t i = 1; i <= n; ++i) {
    if (i % 1000 == 0) screen.write(FreeLine().num(i).str());
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

std::vector<double> INBREED_plain(const Pedigree& ped, Sink& screen) { return inbreeding_plain(ped, screen).D; }

std::vector<double> CALCL_plain(const Pedigree& ped, const std::vector<int32_t>& xz) {
  const int32_t n = ped.n;
  const size_t size = static_cast<size_t>(std::max(n, 0)) + 1;
  std::vector<double> L(size, 0.0);
  std::vector<int32_t> ped1(size, 0), ped2(size, 0), point(size, 0);
  int32_t last = 0;
  for (int32_t k = 1; k <= n; ++k) {
    ped1[k] = std::max(ped.sire[k], ped.dam[k]);
    ped2[k] = std::min(ped.sire[k], ped.dam[k]);
    if (xz[k] != 0) {
      L[k] = static_cast<double>(xz[k]);
      point[k] = last;
      last = k;
    }
  }
  int32_t j = last;
  while (j != 0) {
    pass_half_to_parents(point, L, j, ped1[j], ped2[j]);
    const int32_t k = j;
    j = point[j];
    point[k] = 0;
  }
  return L;
}

DriftResults drift_per_period_plain(const Pedigree& ped, const std::vector<double>& D, const Names& names,
                                    const Report& report) {
  const int32_t Q = static_cast<int32_t>(names.pop.size()) - 1, P = static_cast<int32_t>(names.period.size()) - 1, n = ped.n;
  DriftResults res = empty_results(Q, P);
  for (int32_t a = 1; a <= P; ++a) {
    report.screen.write(period_screen_line(names.period[a]));
    std::vector<std::vector<double>> L(static_cast<size_t>(Q) + 1);
    std::vector<int64_t> N(static_cast<size_t>(Q) + 1, 0);
    std::string lines;
    for (int32_t I = 1; I <= Q; ++I) {
      std::vector<int32_t> xz(static_cast<size_t>(n) + 1, 0);
      for (int32_t c = 1; c <= n; ++c) {
        if (ped.period[c] == a && ped.pop[c] == I) {
          xz[c] = 1;
          ++N[I];
        }
      }
      lines += count_line(names.pop[I], N[I]);
      L[I] = N[I] != 0 ? CALCL_plain(ped, xz) : std::vector<double>(static_cast<size_t>(n) + 1, 0.0);
    }
    std::vector<double> s(static_cast<size_t>(Q) * static_cast<size_t>(Q), 0.0);
    for (int32_t I = 1; I <= Q; ++I) {
      for (int32_t J = 1; J <= Q; ++J) {
        if (N[I] == 0 || N[J] == 0) continue;
        double sum = 0.0;
        for (int32_t c = 1; c <= n; ++c) sum = sum + (L[I][c] * D[c]) * L[J][c];
        s[static_cast<size_t>(I - 1) * static_cast<size_t>(Q) + static_cast<size_t>(J - 1)] = sum;
      }
    }
    period_figures(names, a, N, s, res, lines);
    report.log.write(lines);
  }
  return res;
}

Inbreeding inbreeding_living_plain(const Pedigree& ped) {
  const int32_t n = std::max(ped.n, 0);
  Inbreeding r;
  r.F.assign(static_cast<size_t>(n) + 1, 0.0);
  r.D.assign(static_cast<size_t>(n) + 1, 0.0);
  r.F[0] = -1.0;
  const std::vector<int32_t> level = computation_levels(ped);
  const int32_t levels = n == 0 ? 0 : *std::max_element(level.begin() + 1, level.end()) + 1;
  std::vector<std::vector<int32_t>> by_level(static_cast<size_t>(levels));
  std::vector<int32_t> last(static_cast<size_t>(n) + 1, -1);  // level of the last offspring
  for (int32_t i = 1; i <= n; ++i) {
    by_level[static_cast<size_t>(level[i])].push_back(i);
    for (const int32_t p : {ped.sire[i], ped.dam[i]}) last[p] = std::max(last[p], level[i]);
  }
  // A row and column per living parent, handed on once it is given up:
  // a[slot[x]][slot[y]] is the relationship of x and y as x's row holds it.
  std::vector<int32_t> slot(static_cast<size_t>(n) + 1, -1), free;
  std::vector<std::vector<double>> a;
  auto at = [&](const std::vector<double>& row, int32_t y) { return y == 0 ? 0.0 : row[static_cast<size_t>(slot[y])]; };
  auto row_of = [&](int32_t x) -> std::vector<double>& { return a[static_cast<size_t>(slot[x])]; };
  std::vector<int32_t> living;
  for (int32_t l = 0; l < levels; ++l) {
    std::vector<int32_t> joining;
    for (const int32_t i : by_level[static_cast<size_t>(l)]) {
      const int32_t s = ped.sire[i], d = ped.dam[i];
      r.D[i] = 0.5 - 0.25 * (r.F[s] + r.F[d]);
      r.F[i] = s != 0 && d != 0 ? 0.5 * at(row_of(s), d) : 0.0;
      if (last[i] >= 0) joining.push_back(i);
    }
    for (const int32_t i : joining) {
      if (free.empty()) {
        slot[i] = static_cast<int32_t>(a.size());
        a.emplace_back();
      } else {
        slot[i] = free.back();
        free.pop_back();
      }
    }
    for (auto& row : a) row.resize(a.size());
    auto add_columns = [&](std::vector<double>& row) {
      for (const int32_t k : joining) row[static_cast<size_t>(slot[k])] = 0.5 * (at(row, ped.sire[k]) + at(row, ped.dam[k]));
    };
    for (const int32_t i : joining) {
      std::vector<double>& row = row_of(i);
      for (const int32_t j : living) {
        const double s = ped.sire[i] == 0 ? 0.0 : at(row_of(ped.sire[i]), j);
        const double d = ped.dam[i] == 0 ? 0.0 : at(row_of(ped.dam[i]), j);
        row[static_cast<size_t>(slot[j])] = 0.5 * (s + d);
      }
      add_columns(row);
    }
    std::erase_if(living, [&](int32_t x) {
      if (last[x] == l) free.push_back(slot[x]);
      return last[x] == l;
    });
    for (const int32_t x : living) add_columns(row_of(x));
    for (const int32_t i : joining) {
      row_of(i)[static_cast<size_t>(slot[i])] = 1.0 + r.F[i];
      living.push_back(i);
    }
  }
  return r;
}

}  // namespace vm::genetics
