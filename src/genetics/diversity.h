// Diversity figures per population and period: pedigree depth, founders,
// founder genome equivalents, the effective size from the individual
// increase in inbreeding, and the F statistics of each period's
// populations. Plain functions over the pedigree in the new numbering
// (every known parent before its offspring), F from INBREED and what the
// period loop leaves (the mean relationships and the founder sums).
//
// A group is the set of animals with a record that names population I and
// period t (the members the period loop counts); parents added as
// founders belong to no group but are ancestors. A figure that does not
// exist (a mean over no animals, 1 / 0) is NaN.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "genetics/genetics.h"

namespace vm::genetics {

// Per animal 1..n (entry 0 unused), added parents included.
struct PedigreeDepth {
  // Equivalent complete generations: the sum over the known parents of
  // (1 + theirs) / 2, a parent that is sire and dam counted twice.
  std::vector<double> equivalent;
  // Complete generations: 0 with an unknown parent, else one above the
  // fewer of the two parents'.
  std::vector<int32_t> complete;
  // Maximum generations: 0 without a known parent, else one above the
  // more of the known parents'.
  std::vector<int32_t> maximum;
};
// One pass from the first animal to the last: parents come first.
PedigreeDepth pedigree_depth(const Pedigree& ped);

// The individual increase in inbreeding, 1 - (1 - F)^(1 / (t - 1)) for
// equivalent generations t > 1; NaN otherwise.
double individual_delta_F(double F, double equivalent_generations);

// The figures of one group.
struct GroupFigures {
  int64_t n = 0, both_parents = 0, one_parent = 0;
  double mean_inbreeding = 0, mean_relationship_within = 0;
  double founder_genome_equivalents = 0;  // 1 / mean relationship within
  // Founders with a share q > 0 of the group's genes (stand-ins for the
  // unknown parent of a half-known animal included), and 1 / sum of q^2.
  int64_t founders = 0;
  double effective_founders = 0;
  double mean_equivalent_generations = 0, mean_complete_generations = 0, mean_maximum_generations = 0;
  // Animals with more than one equivalent generation, and the effective
  // size 1 / (2 mean dF) over them with its standard error
  // 2 / sqrt(n_delta_f) ne^2 sd(dF): NaN for a mean of 0 or no such
  // animal, the error also for fewer than two.
  int64_t n_delta_f = 0;
  double ne_delta_f = 0, ne_delta_f_se = 0;
};

// The F statistics of one period over its k populations with animals,
// each weighted equally, with coancestries f = mean relationship / 2.
struct PeriodFStatistics {
  int32_t populations = 0;  // k
  double mean_inbreeding = 0;  // mean of the populations' mean inbreeding
  double f_within = 0;         // mean of f(p, p)
  double f_total = 0;          // mean of f(p, q) over all k x k ordered pairs
  double f_is = 0, f_st = 0, f_it = 0;  // f_st, f_it NaN for k = 1
};

struct Diversity {
  int32_t Q = 0, P = 0;
  std::vector<GroupFigures> groups;         // (I, t) at (t - 1) * Q + (I - 1)
  std::vector<PeriodFStatistics> periods;   // t at t - 1
  const GroupFigures& group(int32_t I, int32_t t) const {
    return groups[static_cast<size_t>(t - 1) * static_cast<size_t>(Q) + static_cast<size_t>(I - 1)];
  }
};

// Every group's figures and every period's F statistics, from F (0..n),
// the animals' depth, the period loop's results and its founder sums.
Diversity diversity(const Pedigree& ped, const std::vector<double>& F, const PedigreeDepth& depth,
                    const DriftResults& drift, const FounderSums& founders);

// Nei's distance between populations I and J in period t,
// (f(I, I) + f(J, J)) / 2 - f(I, J); meaningful only where both have
// animals.
double nei_distance(const DriftResults& drift, int32_t I, int32_t J, int32_t t);

// The figures in the order of their tables, each with its column name:
// the lists every formatter of them iterates, so that a new figure is one
// line here.
template <class Figures>
struct Statistic {
  std::string_view name;
  double (*of)(const Figures&);
  bool count;  // a whole number, written as such
};
inline constexpr Statistic<GroupFigures> kGroupStatistics[] = {
    {"n", [](const GroupFigures& g) { return static_cast<double>(g.n); }, true},
    {"n_both_parents", [](const GroupFigures& g) { return static_cast<double>(g.both_parents); }, true},
    {"n_one_parent", [](const GroupFigures& g) { return static_cast<double>(g.one_parent); }, true},
    {"mean_inbreeding", [](const GroupFigures& g) { return g.mean_inbreeding; }, false},
    {"mean_relationship_within", [](const GroupFigures& g) { return g.mean_relationship_within; }, false},
    {"founder_genome_equivalents", [](const GroupFigures& g) { return g.founder_genome_equivalents; }, false},
    {"founders", [](const GroupFigures& g) { return static_cast<double>(g.founders); }, true},
    {"effective_founders", [](const GroupFigures& g) { return g.effective_founders; }, false},
    {"mean_equivalent_generations", [](const GroupFigures& g) { return g.mean_equivalent_generations; }, false},
    {"mean_complete_generations", [](const GroupFigures& g) { return g.mean_complete_generations; }, false},
    {"mean_maximum_generations", [](const GroupFigures& g) { return g.mean_maximum_generations; }, false},
    {"n_delta_f", [](const GroupFigures& g) { return static_cast<double>(g.n_delta_f); }, true},
    {"ne_delta_f", [](const GroupFigures& g) { return g.ne_delta_f; }, false},
    {"ne_delta_f_se", [](const GroupFigures& g) { return g.ne_delta_f_se; }, false},
};
inline constexpr Statistic<PeriodFStatistics> kPeriodStatistics[] = {
    {"populations", [](const PeriodFStatistics& f) { return static_cast<double>(f.populations); }, true},
    {"mean_inbreeding", [](const PeriodFStatistics& f) { return f.mean_inbreeding; }, false},
    {"f_within", [](const PeriodFStatistics& f) { return f.f_within; }, false},
    {"f_total", [](const PeriodFStatistics& f) { return f.f_total; }, false},
    {"f_is", [](const PeriodFStatistics& f) { return f.f_is; }, false},
    {"f_st", [](const PeriodFStatistics& f) { return f.f_st; }, false},
    {"f_it", [](const PeriodFStatistics& f) { return f.f_it; }, false},
};

}  // namespace vm::genetics
