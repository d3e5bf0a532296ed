// Velmora's computation as a library: drift variance, its maximum and the
// differentiation index between populations over time, and every animal's
// inbreeding, from an animal pedigree.
//
// A run has two steps:
//
//   velmora::ReadOptions reading;                 // fields 1..5, separator and header detected
//   velmora::Pedigree pedigree = velmora::load("herd.csv", reading);
//   velmora::Results results = velmora::analyse(pedigree);
//   for (size_t t = 0; t < results.periods.size(); ++t)
//     for (const velmora::PairIndex& pair : results.pairs)
//       use(results.periods[t], results.populations[pair.first], results.populations[pair.second],
//           results.index(pair, t));
//
// load() reads, checks and numbers the animals and computes their
// inbreeding; analyse() computes the figures of every population and period.
// Both throw velmora::Error. A Progress passed to either hears of every
// stage as it goes and may stop the computation.
//
// Indices are 0-based throughout. A figure that does not exist (a
// population without animals in a period) is velmora::kAbsent, a quiet NaN;
// test it with velmora::is_absent().
//
// The results do not depend on the number of threads, bit for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// The library's version, "major.minor.patch".
std::string_view version();

// --- Errors -----------------------------------------------------------

// Every failure of the library. what() is one line that names the file and
// the line where there is one, and says what to change.
class Error : public std::runtime_error {
 public:
  enum class Kind {
    kFile,         // a file that cannot be opened, read or written
    kData,         // the pedigree cannot be used as it stands (a loop, a missing code)
    kArgument,     // a request that cannot be met (columns of unequal length)
    kMemory,       // the pedigree needs more memory than this process may use
    kInterrupted,  // a Progress asked the computation to stop
  };
  Error(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// --- Progress ---------------------------------------------------------

// Hears of the long stages while they run. Calls come from one thread at a
// time, though not always the caller's. The stages, in order: "counting"
// (records; total not known in advance: 0), "collecting", "animals",
// "parents" (records), "generations" (no units), "sorting" (steps of the
// sort), "links" (no units), "inbreeding" (animals), "periods" (periods, in
// their order).
class Progress {
 public:
  virtual ~Progress() = default;
  // A stage begins; `total`: the units it will advance by in all, 0 when
  // not known.
  virtual void stage(std::string_view name, int64_t total) = 0;
  // `units` more of the stage are done.
  virtual void advance(int64_t units) = 0;
  // Asked between pieces of work: true ends the computation with an Error
  // of kind kInterrupted (for an interrupt in an interactive session).
  virtual bool stop_requested() { return false; }
};

// --- Absent figures -----------------------------------------------------

inline constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();
inline bool is_absent(double v) { return std::isnan(v); }

// --- Loading --------------------------------------------------------------

// How a file's records are read: one record per line.
struct ReadOptions {
  // Fields by number, from 1: animal, sire, dam, population, period.
  int animal = 1, sire = 2, dam = 3, population = 4, period = 5;
  // Or by name from the header line (all five, in that order; overrides
  // the numbers). Implies header = kYes.
  std::vector<std::string> field_names;
  // The separator: 0 to detect it from the first line, else ',', ';',
  // '\t' or ' ' (blanks and tabs, runs counted once).
  char separator = 0;
  enum class Header { kDetect, kYes, kNo };
  // kDetect: a first line that looks like a header is refused.
  Header header = Header::kDetect;
  // Parent codes that stand for an unknown parent, besides "0" and codes
  // holding a hyphen.
  std::vector<std::string> unknown = {};
  // Periods to leave out of the groups (an unknown birth year "0000", say);
  // their animals stay in the pedigree as ancestors.
  std::vector<std::string> drop_periods = {};
  // Worker threads (0: one per CPU this process may use).
  unsigned threads = 0;
};

// One text column per field; every column has one entry per record.
struct Columns {
  std::vector<std::string_view> animal, sire, dam, population, period;
};

class Pedigree;
// Reads the pedigree file `path`.
Pedigree load(const std::string& path, const ReadOptions& options = {}, Progress* progress = nullptr);
// Reads the records from columns of text, with the same checks as a file.
// A code may not hold a tab or a line end.
Pedigree load(const Columns& columns, const ReadOptions& options = {}, Progress* progress = nullptr);

// The checked pedigree: every animal with its parents, population, period,
// generation and inbreeding. Animals are in loading order: those with a
// record in the order of their first record, then the parents without a
// record of their own, which are added as founders. Cheap to move.
class Pedigree {
 public:
  Pedigree();
  ~Pedigree();
  Pedigree(Pedigree&&) noexcept;
  Pedigree& operator=(Pedigree&&) noexcept;

  size_t size() const;          // animals, added founders included
  size_t records() const;       // records read
  std::string_view code(size_t animal) const;
  int64_t sire(size_t animal) const;        // -1: unknown
  int64_t dam(size_t animal) const;         // -1: unknown
  int64_t population(size_t animal) const;  // into populations(); -1: an added founder
  int64_t period(size_t animal) const;      // into periods(); -1: an added founder
  int32_t generation(size_t animal) const;  // 1 for a founder
  double inbreeding(size_t animal) const;   // F
  // The population codes in their numbering, and the period codes in the
  // order of the tables.
  const std::vector<std::string>& populations() const;
  const std::vector<std::string>& periods() const;
  // What the checks noticed, one line each (a warning, not an error).
  const std::vector<std::string>& notes() const;
  // Further figures per animal, by name, in loading order:
  // equivalent_generations, complete_generations, maximum_generations.
  struct Column {
    std::string name;
    std::vector<double> values;
  };
  const std::vector<Column>& animal_figures() const;

  // Every animal at once, in loading order, on `threads` threads (0: one
  // per CPU): far faster than a call per animal for a whole table, as each
  // call looks the animal up in the library's own numbering.
  struct Table {
    std::vector<std::string_view> code;  // valid while the Pedigree lives
    std::vector<int64_t> sire, dam, population, period;  // -1 as above
    std::vector<int32_t> generation;
    std::vector<double> inbreeding;
  };
  Table table(unsigned threads = 0) const;

  struct Impl;
  const Impl& impl() const { return *impl_; }

 private:
  explicit Pedigree(std::unique_ptr<Impl> impl);
  friend Pedigree load_pedigree(std::unique_ptr<Impl>);
  std::unique_ptr<Impl> impl_;
};

// For each record, given by its animal code as it was passed to load(), the
// animal in loading order (-1 for a code that is no animal's): how a table
// of records, repeated animals included, is joined to the animals.
std::vector<int64_t> animals_of_records(const Pedigree& pedigree, const std::vector<std::string_view>& animal_codes);

// --- Analysis ---------------------------------------------------------------

struct Options {
  unsigned threads = 0;  // 0: one per CPU this process may use
};

// An ordered pair of populations as the result table lists it: first >
// second in the populations' numbering.
struct PairIndex {
  size_t first = 0, second = 0;
};

// A figure per population and period (a column of a group statistic).
struct GroupColumn {
  std::string name;          // as in the files' header: "mean_inbreeding"
  std::vector<double> values;  // (population p, period t) at t * populations + p; absent for empty groups
};

struct Results {
  std::vector<std::string> populations, periods;
  // Every pair in the order of the result table.
  std::vector<PairIndex> pairs;

  // Animals of population p in period t.
  int64_t animals(size_t population, size_t period) const {
    return counts[period * populations.size() + population];
  }
  // Mean relationship between the animals of p and q in period t (p = q:
  // within p); absent where either has no animals.
  double relationship(size_t p, size_t q, size_t period) const {
    return mean_relationship[(period * populations.size() + p) * populations.size() + q];
  }
  // The pair figures; absent where either population has no animals.
  double drift_variance(PairIndex pair, size_t period) const { return pair_value(drift, pair, period); }
  double max_drift_variance(PairIndex pair, size_t period) const { return pair_value(max_drift, pair, period); }
  double index(PairIndex pair, size_t period) const { return pair_value(differentiation, pair, period); }
  // Nei's distance, (f_pp + f_qq) / 2 - f_pq with the coancestries f =
  // mean relationship / 2.
  double nei_distance(PairIndex pair, size_t period) const { return pair_value(nei, pair, period); }

  // The per-group figures, one column each, in the order of the summary
  // file's columns (group_statistics(): n, n_both_parents, n_one_parent,
  // mean_inbreeding, mean_relationship_within, founder_genome_equivalents,
  // founders, effective_founders, mean_equivalent_generations,
  // mean_complete_generations, mean_maximum_generations, n_delta_f,
  // ne_delta_f, ne_delta_f_se, n_no_parents); absent for empty groups.
  std::vector<GroupColumn> groups;
  // Figures per period over all its populations, one column each, values
  // indexed by period: populations, mean_inbreeding, f_within, f_total,
  // f_is, f_st, f_it (absent where the period has no animals, f_st and
  // f_it where it has one population).
  struct PeriodColumn {
    std::string name;
    std::vector<double> values;
  };
  std::vector<PeriodColumn> period_figures;

  // The arrays behind the accessors.
  std::vector<int64_t> counts;              // (t, p) at t * Q + p
  std::vector<double> mean_relationship;    // (t, p, q) at (t * Q + p) * Q + q
  std::vector<double> drift, max_drift, differentiation, nei;  // (pair k, t) at k * P + t

 private:
  double pair_value(const std::vector<double>& v, PairIndex pair, size_t period) const;
};

// The figures of every population and period.
Results analyse(const Pedigree& pedigree, const Options& options = {}, Progress* progress = nullptr);

// The names of the per-group statistics analyse() computes, in order.
std::vector<std::string> group_statistics();

}  // namespace velmora
