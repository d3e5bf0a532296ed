// The result files that options ask for (tidy table, per-animal
// inbreeding, HTML report, diversity summary and F statistics): what the
// run keeps for them, and their writing, each file whole or not at all.
#pragma once

#include <chrono>
#include <string>

#include "common/sink.h"
#include "library/compute.h"
#include "driver/file_safety.h"
#include "results/report.h"

namespace vm {

// File names; an empty name is a file not asked for.
struct ResultFiles {
  std::string csv, inbreeding, report, summary, fstatistics;
  int64_t min_animals = 10;  // the report's charts leave out smaller groups
  bool any() const { return !csv.empty() || !report.empty() || per_animal() || diversity(); }
  // The file that lists the animals by their codes in loading order.
  bool per_animal() const { return !inbreeding.empty(); }
  // Files of the diversity figures, which need F and the founder sums.
  bool diversity() const { return !summary.empty() || !fstatistics.empty(); }
};

// The result files, prepared among the run's files before the computation
// so that a name that cannot be written ends the run before it starts;
// they are put in place with the run's other files. Failures are
// FileErrors. The time taken runs from the writer's making to the writing.
class ResultWriter {
 public:
  // threads: for the per-animal rows (0: the CPUs this process may run on).
  ResultWriter(const ResultFiles& files, RunFiles& into, unsigned threads = 0);
  bool any() const { return files_.any(); }
  // The run keeps its code store, loading numbers and generations.
  bool keeps_codes() const { return files_.per_animal(); }
  // The run keeps F and sums the founders of each group.
  bool needs_diversity() const { return files_.diversity() || !files_.report.empty(); }
  // From a run computed with what keeps_codes() and needs_diversity() ask
  // for kept.
  void write(const Computed& run, results::RunFacts facts);

 private:
  ResultFiles files_;
  unsigned threads_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  Sink* csv_ = nullptr;
  Sink* inbreeding_ = nullptr;
  Sink* report_ = nullptr;
  Sink* summary_ = nullptr;
  Sink* fstatistics_ = nullptr;
};

}  // namespace vm
