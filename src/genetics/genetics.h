// Genetic computations and report: the Mendelian sampling factors D from
// the inbreeding coefficients (INBREED), the gene contributions of each
// population's animals per period (CALCL), the mean relationships and drift
// figures per pair of populations and period, and every line this stage
// writes (screen line per period, log counts and matrices, result table).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/progress.h"
#include "common/sink.h"
#include "pedigree/pedigree.h"

namespace vm::genetics {

// Every computation reads the pedigree in the new numbering: every known
// parent numbered before its offspring.

// Names of populations 1..Q and periods 1..P (entry 0 unused), as stored
// (without trailing blanks).
struct Names {
  std::vector<std::string> pop;
  std::vector<std::string> period;
};

// Both results of the inbreeding computation, entries 0..n: F(0) = -1.0
// stands for an unknown parent, D(0) = 0.
struct Inbreeding {
  std::vector<double> F, D;
  // pop_group[I] for populations I = 1..(the highest population number):
  // groups of populations whose animals share no ancestor with those of
  // any other group (closed populations, separate breeds), numbered from
  // 0; found from the families INBREED goes by, empty where not found.
  std::vector<int32_t> pop_group;
};
// INBREED: the inbreeding coefficients F and the Mendelian sampling factors
// D, telling `progress` of the animals done as it goes. Each
// family (animals joined by parents and offspring, such as a closed
// population) on its own: from the relationship matrix of its parents
// living at the same time where that fits the memory budget (deep
// pedigrees, closed lines, random mating in small cohorts), otherwise
// indirectly, relating groups of parents to all their mates at once on
// `threads` threads (0: one per usable CPU; fewer when their working
// storage would pass the budget). The same values as the literal walk but
// for rounding, and the same bits for any number of threads.
Inbreeding INBREED(const Pedigree& ped, Progress& progress, unsigned threads = 0);
// The groups of Inbreeding::pop_group, from the pedigree's families (as
// INBREED finds them).
std::vector<int32_t> population_groups(const Pedigree& ped);
// Bytes of working storage that all inbreeding workers together may hold
// (more where a third of the available memory is more; see memory_budget).
inline constexpr size_t kInbreedMemoryBudget = size_t{512} << 20;
// Rows (and columns) of the living parents' relationship matrix that fit
// the budget.
inline constexpr int32_t kMaxLivingRows = 8192;
static_assert(size_t{kMaxLivingRows} * kMaxLivingRows * sizeof(double) <= kInbreedMemoryBudget);

// POPULATION: per ordered pair and period. Indices from 1.
struct DriftResults {
  int32_t Q = 0, P = 0;
  // The mean relationship between populations I and J in period t (XZAZX)
  // at mean_relationship[((I - 1) * Q + (J - 1)) * P + (t - 1)].
  std::vector<double> mean_relationship;
  // DRIFTVAR, MAXDRIFTVAR and the differentiation index of (I, J), I > J,
  // for period t. Where one of the two populations has no animals in the
  // period (present() is false) they do not exist: the classic table
  // writes 0.0 there, the other files an empty cell, the library NaN.
  std::vector<double> driftvar, maxdriftvar, index;  // same indexing
  // Animals of population I in period t at animals[(I - 1) * P + (t - 1)].
  std::vector<int64_t> animals;
  int64_t animals_of(int32_t I, int32_t t) const {
    return animals[static_cast<size_t>(I - 1) * static_cast<size_t>(P) + static_cast<size_t>(t - 1)];
  }
  // Whether the figures of I and J in period t exist: both have animals.
  bool present(int32_t I, int32_t J, int32_t t) const { return animals_of(I, t) > 0 && animals_of(J, t) > 0; }
  double& at(std::vector<double>& v, int32_t I, int32_t J, int32_t t) {
    return v[(static_cast<size_t>(I - 1) * Q + static_cast<size_t>(J - 1)) * P + static_cast<size_t>(t - 1)];
  }
  double get(const std::vector<double>& v, int32_t I, int32_t J, int32_t t) const {
    return v[(static_cast<size_t>(I - 1) * Q + static_cast<size_t>(J - 1)) * P + static_cast<size_t>(t - 1)];
  }
};

// The founders of each population and period, read off the period loop's
// contributions L(I, .) = T'x with x = 1 on the members (a group's shares
// q are L / n): an animal with both parents unknown is a founder with all
// of its L, one with a single known parent stands in for a founder of its
// own with half of it (the unknown parent's share).
struct FounderSums {
  int32_t Q = 0, P = 0;
  // (I, t) at (t - 1) * Q + (I - 1), so that each period fills its own
  // stretch: the founders with L > 0, and the sum of their L squared.
  std::vector<int64_t> founders;
  std::vector<double> squares;
  size_t slot(int32_t I, int32_t t) const {
    return static_cast<size_t>(t - 1) * static_cast<size_t>(Q) + static_cast<size_t>(I - 1);
  }
};

// The period loop: for every period the screen line, the count lines and
// the relationship matrix in the log, and the figures of every pair.
// Periods are computed on `threads` threads (0: one per usable CPU),
// fewer when their working storage would not fit the memory budget; the
// lines come out in period order whatever the number of threads. With
// `founders`, also the founder sums of every group, summed in the same
// pass over the contributions (in increasing animal number, whatever the
// number of threads).
// `pop_group`: the groups of populations that share no ancestor, as
// INBREED gives them (null or empty: found here, where they would help).
DriftResults drift_per_period(const Pedigree& ped, const std::vector<double>& D, const Names& names,
                              const Report& report, unsigned threads = 0, FounderSums* founders = nullptr,
                              const std::vector<int32_t>* pop_group = nullptr);
// Bytes of working storage that all period workers together may hold
// (more where a third of the available memory is more; see memory_budget).
inline constexpr size_t kDriftMemoryBudget = size_t{1} << 30;

// Results of Q populations and P periods, all 0.0.
DriftResults empty_results(int32_t Q, int32_t P);
// Period t from its summed relationships s(I, J) at s[(I - 1) * Q + J - 1]
// and its animals per population N[1..Q]: the mean relationships (0 where a
// population is empty), the drift figures of every pair I > J, and the
// period's matrix lines added to `log`.
void period_figures(const Names& names, int32_t t, const std::vector<int64_t>& N, const std::vector<double>& s,
                    DriftResults& res, std::string& log);

// The pairs (I, J), I > J, in the order of every table: (2,1), (3,1),
// (3,2), (4,1), ...
struct Pair {
  int32_t I, J;
};
std::vector<Pair> pairs_in_table_order(int32_t Q);

// The result table: one block per pair (I, J), I > J, one row per period.
void write_result_table(const DriftResults& results, const Names& names, Sink& out);
// Its size for Q populations and P periods whose names fit the columns.
double result_table_bytes(int32_t Q, int32_t P);

// The lines of this stage, each with its "\n". Names are trimmed here.
// Screen, at the start of a period.
std::string period_screen_line(std::string_view period);
// Log: animals of a population in the period.
std::string count_line(std::string_view pop, int64_t count);
// Log: the heading of a period's matrix, format (2A).
std::string period_heading(std::string_view period);
// Log: a population's row of the matrix, the values in F12.4, however many.
std::string matrix_row(std::string_view pop, std::span<const double> values);
// Output: the two names joined by " & ", cut or padded to 25 characters.
std::string pair_label(std::string_view first, std::string_view second);
// Output: a period's row of a pair block (name cut or padded to 15).
std::string table_row(std::string_view period, double driftvar, double maxdriftvar, double index);

}  // namespace vm::genetics
