// The result files for other programs: the tidy table of every pair and
// period (comma-separated) and every animal's inbreeding coefficient
// (tab-separated), both with a header row and RFC 4180 quoting, and the
// per-group figures that these files and the report share.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/sink.h"
#include "genetics/diversity.h"
#include "genetics/genetics.h"
#include "genetics/statistics.h"

namespace vm::results {

// A field of a delimited file: as it stands, or between double quotes with
// inner quotes doubled when it holds the separator, a quote or a line end.
void append_field(std::string& out, std::string_view text, char separator);

// The shortest text that reads back as the same double; "NaN", "Inf" and
// "-Inf" for the values that have no digits (R and pandas read all three).
void append_shortest(std::string& out, double v);
std::string shortest(double v);

// Every animal of the run in loading order: the animals with a record in
// the order of the file, then the parents added as founders. Arrays are
// indexed by animal 1..n (entry 0 unused); 0 is an unknown parent and, for
// population and period, no record.
struct AnimalTable {
  int32_t n = 0;
  std::function<std::string_view(int32_t)> code;
  std::span<const int32_t> sire, dam, pop, period, generation;
  std::span<const double> F;
  // Equivalent complete, complete and maximum generations (PedigreeDepth).
  std::span<const double> equivalent;
  std::span<const int32_t> complete, maximum;
};

// A figure per population I = 1..Q and period a = 1..P.
template <class T>
struct PerGroup {
  int32_t Q = 0, P = 0;
  std::vector<T> values;  // (I, a) at (I - 1) * P + (a - 1)
  T at(int32_t I, int32_t a) const { return values[static_cast<size_t>(I - 1) * static_cast<size_t>(P) + static_cast<size_t>(a - 1)]; }
};

// Mean inbreeding of each population in each period, as the diversity
// figures have it; NaN for an empty group.
PerGroup<double> mean_inbreeding(const genetics::Diversity& figures);

// The tidy table, one row per pair and period in the order of the result
// table, Nei's distance last. Figures that do not exist because a
// population has no animals in the period are empty cells.
void write_csv(const genetics::DriftResults& results, const genetics::Names& names,
               Sink& out);

// One row per animal in loading order, its depth in generations after its
// inbreeding; an unknown parent is "0", the
// population and period of a founder without a record are empty. Blocks
// of rows are formatted on `workers` threads and written in order: the
// same bytes for any number.
void write_inbreeding(const AnimalTable& animals, const genetics::Names& names, Sink& out, unsigned workers = 1);

// The diversity figures of every group with animals, one row per period
// (in the order of the result table) and population (in text order, as
// numbered): period, population, then every group column
// (genetics/statistics.h). A figure that does not exist is an empty cell.
void write_summary(const genetics::Diversity& diversity, const std::vector<genetics::GroupColumn>& columns,
                   const genetics::Names& names, Sink& out);

// The F statistics, one row per period with animals: period, then
// kPeriodStatistics; empty cells as in the summary.
void write_fstatistics(const genetics::Diversity& diversity, const genetics::Names& names, Sink& out);

}  // namespace vm::results
