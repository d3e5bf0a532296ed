// The HTML report: one self-contained page (no network, no other files)
// with the run's facts, charts of the differentiation index, the drift
// variance, mean inbreeding and mean relationships, and the result table
// with full names. It prints without its choosers; with scripts blocked it
// still shows every chart at its default choice.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/sink.h"
#include "genetics/diversity.h"
#include "genetics/genetics.h"
#include "results/tables.h"

namespace vm::results {

// What the report tells of the run beyond its results.
struct RunFacts {
  std::string pedigree_file;
  int64_t records = 0;
  std::vector<std::string> warnings;  // the data-check notes, as given
  double seconds = 0;                 // time taken by the run
  // Pairs whose groups have fewer animals in a period stay out of the
  // charts there (the table keeps them).
  int64_t min_animals = 10;
  std::string version, command_line, started;  // "" where not known
  int64_t file_bytes = -1;
  std::string sha256;  // of the pedigree file ("" where not known)
  unsigned threads = 0;
  std::vector<std::string> dropped_periods;  // left out by --drop-periods
};

// What the report tells of the pedigree: counts over its animals, taken
// once without listing them.
struct PedigreeCounts {
  int64_t animals = 0, with_record = 0, founders = 0;  // founders: both parents unknown
  int32_t generations = 0;
  std::vector<int64_t> per_population;  // animals of population I at I (1..Q)
};
PedigreeCounts pedigree_counts(const Pedigree& ped, int32_t Q, int32_t generations);

struct ReportData {
  RunFacts run;
  const PedigreeCounts& pedigree;
  const genetics::Names& names;
  const genetics::DriftResults& results;  // with the animals of each group
  const PerGroup<double>& mean_inbreeding;
  // The diversity figures of every group and period (null: not computed).
  const genetics::Diversity* diversity = nullptr;
};

void write_report(const ReportData& data, Sink& out);

using genetics::Pair;
using genetics::pairs_in_table_order;
// Up to `count` pairs, the highest differentiation index in the last
// period where each has one first; pairs without any value last.
std::vector<size_t> most_differentiated(const genetics::DriftResults& results, const std::vector<Pair>& pairs, size_t count);
// The same among the periods where `usable(pair, period)`.
std::vector<size_t> most_differentiated(const genetics::DriftResults& results, const std::vector<Pair>& pairs, size_t count,
                                        const std::function<bool(Pair, int32_t)>& usable);

}  // namespace vm::results
