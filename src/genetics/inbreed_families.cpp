// Inbreeding family by family. Animals that no chain of parents and
// offspring joins share no ancestor, so their relationship is 0, and each
// family's coefficients follow from the family alone. Closed populations
// (separate breeds, lines kept apart) then each get their own matrix of
// living parents: its rows are those of one family, not of all families
// at once, and a family past the matrix's limit goes to the indirect
// computation without taking the others with it. Both computations give
// an animal the same bits in a family's pedigree as in the whole one.
#include <algorithm>
#include <cstdint>
#include <new>
#include <numeric>
#include <vector>

#include "common/parallel.h"
#include "common/progress.h"
#include "genetics/inbreed_methods.h"
#include "genetics/levels.h"

namespace vm::genetics {
namespace {

// Which family goes to which part: 0 for the indirect computation, 1..
// for the living parents' matrix, small families packed together.
struct Parts {
  std::vector<int32_t> of_family;
  int32_t count = 1;
  int64_t living_animals = 0, indirect_animals = 0;
};

// What a unit of the indirect estimate costs against one of the matrix's
// work: random mating in 30 cohorts of 8,000 (5 populations with
// migration, 14,521 rows) took 60 CPU s indirectly and 7.5 s by the
// matrix, whose estimates were 5.8e9 and 5.9e9; 4 keeps to the safe side.
constexpr double kIndirectUnitCost = 4;

// A family past max_rows: its own matrix where the estimates say it costs
// less than the indirect computation and the memory is there.
bool costed_living(const LivingCost& cost, double indirect, const PartLimits& limits) {
  if (cost.peak > limits.costed_rows) return false;
  const double matrix_bytes = static_cast<double>(cost.peak) * (cost.peak + 1) * sizeof(double);
  if (matrix_bytes > memory_budget(kInbreedMemoryBudget)) return false;
  return cost.work < kIndirectUnitCost * indirect;
}

Parts assign_parts(const Pedigree& ped, const Families& families, const PartLimits& limits) {
  const std::vector<LivingCost> costs = living_costs(ped, families);
  const bool any_past = std::any_of(costs.begin(), costs.end(), [&](const LivingCost& c) {
    return c.peak > limits.max_rows && c.peak <= limits.costed_rows;
  });
  const std::vector<double> indirect = any_past ? indirect_works(ped, families) : std::vector<double>();
  std::vector<int64_t> size(static_cast<size_t>(families.count), 0);
  for (size_t i = 1; i < families.of.size(); ++i) ++size[static_cast<size_t>(families.of[i])];
  Parts parts;
  parts.of_family.assign(static_cast<size_t>(families.count), 0);
  int32_t open = 0;
  int64_t rows = 0, animals = 0;
  for (size_t f = 0; f < size.size(); ++f) {
    const int32_t peak = costs[f].peak;
    if (peak > limits.max_rows) {
      if (costed_living(costs[f], indirect.empty() ? 0.0 : indirect[f], limits)) {
        parts.of_family[f] = parts.count++;  // alone
        parts.living_animals += size[f];
        open = 0;
      } else {
        parts.indirect_animals += size[f];
      }
      continue;
    }
    if (open == 0 || animals >= limits.min_part_animals || rows + peak > limits.max_rows) {
      open = parts.count++;
      rows = animals = 0;
    }
    parts.of_family[f] = open;
    rows += peak;
    animals += size[f];
    parts.living_animals += size[f];
  }
  return parts;
}

// The pedigree of `animals` (increasing, closed under parents), numbered
// 1.. in their order; `local` maps the whole pedigree's numbers to the
// part's for these animals (entry 0 stays 0).
Pedigree part_pedigree(const Pedigree& ped, std::span<const int32_t> animals, std::vector<int32_t>& local) {
  Pedigree part;
  part.n = static_cast<int32_t>(animals.size());
  const size_t n = animals.size() + 1;
  part.sire.assign(n, 0), part.dam.assign(n, 0), part.pop.assign(n, 0), part.period.assign(n, 0);
  for (size_t k = 0; k < animals.size(); ++k) {
    const auto a = static_cast<size_t>(animals[k]);
    local[a] = static_cast<int32_t>(k + 1);
    part.sire[k + 1] = local[static_cast<size_t>(ped.sire[a])];
    part.dam[k + 1] = local[static_cast<size_t>(ped.dam[a])];
    part.pop[k + 1] = ped.pop[a];
    part.period[k + 1] = ped.period[a];
  }
  return part;
}

Inbreeding living_or_indirect(const Pedigree& ped, bool living, const PartLimits& limits, Progress& progress,
                              unsigned workers) {
  if (living) {
    const LivePlan plan = plan_living(ped, std::max(limits.max_rows, limits.costed_rows));
    if (plan.fits) return inbreeding_living(ped, plan, progress, workers);
  }
  return inbreeding_indirect(ped, progress, indirect_workers(ped, workers));
}

// Populations joined wherever one family holds animals of both.
std::vector<int32_t> groups_of_families(const Pedigree& ped, const Families& families) {
  int32_t Q = 0;
  for (int32_t c = 1; c <= ped.n; ++c) Q = std::max(Q, ped.pop[c]);
  std::vector<int32_t> root(static_cast<size_t>(Q) + 1), pop_of_family(static_cast<size_t>(families.count), 0);
  std::iota(root.begin(), root.end(), 0);
  auto find = [&](int32_t I) {
    while (root[static_cast<size_t>(I)] != I) {
      int32_t& up = root[static_cast<size_t>(I)];
      I = up = root[static_cast<size_t>(up)];
    }
    return I;
  };
  for (int32_t c = 1; c <= ped.n; ++c) {
    const int32_t I = ped.pop[c];
    if (I <= 0) continue;
    int32_t& seen = pop_of_family[static_cast<size_t>(families.of[static_cast<size_t>(c)])];
    if (seen == 0) {
      seen = I;
    } else if (const int32_t a = find(I), b = find(seen); a != b) {
      root[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
    }
  }
  std::vector<int32_t> group(static_cast<size_t>(Q) + 1, -1);
  int32_t groups = 0;
  for (int32_t I = 1; I <= Q; ++I) {
    const int32_t R = find(I);
    group[static_cast<size_t>(I)] = R == I ? groups++ : group[static_cast<size_t>(R)];
  }
  return group;
}

// F and D of every family, each by its own method; `ahead`, where it was
// made, the indirect computation of the whole pedigree.
Inbreeding inbreeding_of_parts(const Pedigree& ped, const Families& families, const Parts& parts, Progress& progress,
                               unsigned workers, const PartLimits& limits, PreparedIndirect ahead) {
  // A part that is (nearly) the whole pedigree is computed on it directly;
  // a few small families do not make the rest worth copying.
  const bool few_living = parts.living_animals * 8 < ped.n;
  if (parts.indirect_animals == ped.n || (parts.indirect_animals > 0 && few_living)) {
    if (ahead != nullptr) return run_indirect(std::move(ahead), progress);
    return living_or_indirect(ped, false, limits, progress, workers);
  }
  ahead.reset();  // its memory back before any matrix is made
  if (parts.count == 2 && parts.living_animals == ped.n) return living_or_indirect(ped, true, limits, progress, workers);

  std::vector<int32_t> key(static_cast<size_t>(ped.n) + 1, 0);
  for (size_t i = 1; i < key.size(); ++i) key[i] = parts.of_family[static_cast<size_t>(families.of[i])];
  const Grouped grouped = group_animals(key, parts.count);
  Inbreeding r = start_inbreeding(ped.n);
  std::vector<int32_t> local(static_cast<size_t>(ped.n) + 1, 0);
  for (int32_t p = 0; p < parts.count; ++p) {
    const std::span<const int32_t> animals(grouped.order.data() + grouped.starts[static_cast<size_t>(p)],
                                           static_cast<size_t>(grouped.starts[static_cast<size_t>(p) + 1] -
                                                               grouped.starts[static_cast<size_t>(p)]));
    if (animals.empty()) continue;
    const Inbreeding part = living_or_indirect(part_pedigree(ped, animals, local), p != 0, limits, progress, workers);
    for (size_t k = 0; k < animals.size(); ++k) {
      r.F[static_cast<size_t>(animals[k])] = part.F[k + 1];
      r.D[static_cast<size_t>(animals[k])] = part.D[k + 1];
    }
  }
  return r;
}

}  // namespace

std::vector<int32_t> population_groups(const Pedigree& ped) { return groups_of_families(ped, find_families(ped)); }

Families find_families(const Pedigree& ped) {
  const size_t n = static_cast<size_t>(std::max(ped.n, 0));
  // root[x]: towards the smallest animal of x's family, which is its root.
  std::vector<int32_t> root(n + 1);
  std::iota(root.begin(), root.end(), 0);
  auto find = [&](int32_t x) {
    while (root[static_cast<size_t>(x)] != x) {
      const int32_t up = root[static_cast<size_t>(root[static_cast<size_t>(x)])];
      root[static_cast<size_t>(x)] = up;
      x = up;
    }
    return x;
  };
  constexpr size_t kAhead = 16;
  for (size_t i = 1; i <= n; ++i) {
    if (i + kAhead <= n) {
      __builtin_prefetch(&root[static_cast<size_t>(ped.sire[i + kAhead])]);
      __builtin_prefetch(&root[static_cast<size_t>(ped.dam[i + kAhead])]);
    }
    for (const int32_t p : {ped.sire[i], ped.dam[i]}) {
      if (p == 0) continue;
      const int32_t a = find(static_cast<int32_t>(i)), b = find(p);
      if (a != b) root[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
    }
  }
  Families families;
  families.of.assign(n + 1, -1);
  for (size_t i = 1; i <= n; ++i) {
    const int32_t r = find(static_cast<int32_t>(i));
    families.of[i] = r == static_cast<int32_t>(i) ? families.count++ : families.of[static_cast<size_t>(r)];
  }
  return families;
}

std::vector<double> indirect_works(const Pedigree& ped, const Families& families) {
  const size_t n = static_cast<size_t>(std::max(ped.n, 0)), count = static_cast<size_t>(families.count);
  auto family = [&](size_t i) { return static_cast<size_t>(families.of[i]); };
  auto paired = [&](size_t i) { return ped.sire[i] != 0 && ped.dam[i] != 0; };
  // The hubs as the indirect computation takes them: of each pair, the
  // parent with more pairs.
  std::vector<int32_t> pairs(n + 1, 0);
  std::vector<int64_t> kids(count, 0);
  for (size_t i = 1; i <= n; ++i)
    if (paired(i)) ++pairs[static_cast<size_t>(ped.sire[i])], ++pairs[static_cast<size_t>(ped.dam[i])], ++kids[family(i)];
  std::vector<char> hub(n + 1, 0);
  for (size_t i = 1; i <= n; ++i) {
    if (!paired(i)) continue;
    const auto s = static_cast<size_t>(ped.sire[i]), d = static_cast<size_t>(ped.dam[i]);
    hub[pairs[s] != pairs[d] ? (pairs[s] > pairs[d] ? s : d) : std::max(s, d)] = 1;
  }
  std::vector<double> hubs(count, 0);
  for (size_t i = 1; i <= n; ++i)
    if (hub[i]) hubs[family(i)] += 1;
  // The ancestors of a sample of each family's kids, spread over its numbers.
  constexpr int64_t kSample = 16;
  std::vector<uint32_t> stamp(n + 1, 0);
  std::vector<int32_t> stack;
  std::vector<double> ancestors(count, 0);
  std::vector<int64_t> seen(count, 0), taken(count, 0);
  uint32_t mark = 0;
  for (size_t i = 1; i <= n; ++i) {
    const size_t f = family(i);
    if (!paired(i) || seen[f]++ % std::max<int64_t>(1, kids[f] / kSample) != 0) continue;
    ++taken[f], ++mark;
    stack.assign(1, static_cast<int32_t>(i));
    while (!stack.empty()) {
      const auto x = static_cast<size_t>(stack.back());
      stack.pop_back();
      for (const int32_t p : {ped.sire[x], ped.dam[x]}) {
        if (p == 0 || stamp[static_cast<size_t>(p)] == mark) continue;
        stamp[static_cast<size_t>(p)] = mark;
        ancestors[f] += 1;
        stack.push_back(p);
      }
    }
  }
  std::vector<double> work(count, 0);
  for (size_t f = 0; f < count; ++f)
    if (taken[f] > 0) work[f] = 2.0 * hubs[f] * ancestors[f] / static_cast<double>(taken[f]);
  return work;
}

Inbreeding inbreeding_by_families(const Pedigree& ped, Progress& progress, unsigned workers, const PartLimits& limits) {
  if (ped.n <= 0) return start_inbreeding(ped.n);
  workers = std::max(workers, 1u);
  // Finding the families and their methods reads the whole pedigree on one
  // CPU (default-10m: 0.4 s), and so does the indirect computation's plan
  // (0.4 s). A large pedigree mostly goes to the indirect computation as a
  // whole: its plan is made on a second CPU meanwhile, and dropped where
  // the families take other methods.
  const bool plan_ahead = workers > 1 && ped.n >= limits.plan_ahead_animals;
  Families families;
  std::vector<int32_t> pop_group;
  Parts parts;
  PreparedIndirect ahead;
  parallel_for(plan_ahead ? 2 : 1, 2, [&](size_t item, unsigned) {
    if (item == 1) {
      try {
        ahead = prepare_indirect(ped, indirect_workers(ped, workers));
      } catch (const std::bad_alloc&) {  // made again if it is needed
      }
      return;
    }
    families = find_families(ped);
    pop_group = groups_of_families(ped, families);
    parts = assign_parts(ped, families, limits);
  });
  Inbreeding r = inbreeding_of_parts(ped, families, parts, progress, workers, limits, std::move(ahead));
  r.pop_group = std::move(pop_group);
  return r;
}

}  // namespace vm::genetics
