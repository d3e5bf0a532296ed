// The result files that options ask for (tidy table, per-animal
// inbreeding, HTML report): what the run keeps for them, and their writing,
// each file whole or not at all.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/sink.h"
#include "genetics/genetics.h"
#include "input/scan.h"
#include "results/report.h"

namespace vm {

// File names; an empty name is a file not asked for.
struct ResultFiles {
  std::string csv, inbreeding, report;
  bool any() const { return !csv.empty() || !inbreeding.empty() || !report.empty(); }
};

// What the result files need beyond the classic run's hand-overs, kept
// only when one is asked for: the codes, and per animal in loading order
// the parents, population, period, generation and new number; F in the
// new numbering.
struct KeptForResults {
  std::unique_ptr<input::Codes> codes;
  std::vector<int32_t> sire, dam, pop, period, generation, new_of_old;
  std::vector<double> F;
};

// The result files, opened (as temporary files) before the computation so
// that a name that cannot be written ends the run before it starts, and
// put in place together at the end. Failures are FileErrors. The time
// taken runs from the writer's making to the writing.
class ResultWriter {
 public:
  explicit ResultWriter(const ResultFiles& files);
  bool any() const { return files_.any(); }
  void write(const KeptForResults& kept, const genetics::Names& names, const genetics::DriftResults& results,
             results::RunFacts facts);

 private:
  ResultFiles files_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  WholeFileSink csv_, inbreeding_, report_;
};

}  // namespace vm
