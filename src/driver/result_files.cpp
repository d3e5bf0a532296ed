#include "driver/result_files.h"

#include <stdexcept>

#include "common/cpus.h"
#include "pedigree/renumber.h"
#include "genetics/diversity.h"
#include "genetics/statistics.h"
#include "results/tables.h"

namespace vm {
namespace {

// The result files list the animals in loading order, the order of their
// records, with their parents' loading numbers.
struct LoadingOrder {
  LoadingOrder(const Computed& run, const genetics::PedigreeDepth& depth) {
    const Pedigree& ped = run.pedigree;
    const size_t size = static_cast<size_t>(ped.n) + 1;
    const std::vector<int32_t> new_of_old = pedigree::new_of_loaded(ped);
    auto loaded = [&](int32_t w) { return w == 0 ? 0 : ped.loaded_as[w]; };
    for (auto* v : {&sire, &dam, &pop, &period, &complete, &maximum}) v->assign(size, 0);
    F.assign(size, 0.0);
    equivalent.assign(size, 0.0);
    for (int32_t a = 1; a <= ped.n; ++a) {
      const int32_t w = new_of_old[a];
      sire[a] = loaded(ped.sire[w]);
      dam[a] = loaded(ped.dam[w]);
      pop[a] = ped.pop[w];
      period[a] = ped.period[w];
      F[a] = run.inbreeding.F[w];
      if (depth.equivalent.empty()) continue;  // not asked for
      equivalent[a] = depth.equivalent[w];
      complete[a] = depth.complete[w];
      maximum[a] = depth.maximum[w];
    }
  }
  std::vector<int32_t> sire, dam, pop, period, complete, maximum;
  std::vector<double> F, equivalent;
};

// The animals' codes in loading order side by side: the rows look up
// parents at random, and two small arrays answer that faster than the code
// table's records.
struct CodesInLoadingOrder {
  std::string text;
  std::vector<size_t> start;  // code of animal a: text[start[a] .. start[a + 1])
  CodesInLoadingOrder(const input::CodeStore& codes, int32_t n) : start(static_cast<size_t>(n) + 2, 0) {
    for (int32_t a = 1; a <= n; ++a) {
      text += codes.animal_code(a);
      start[static_cast<size_t>(a) + 1] = text.size();
    }
  }
  std::string_view of(int32_t a) const {
    const size_t from = start[static_cast<size_t>(a)];
    return std::string_view(text).substr(from, start[static_cast<size_t>(a) + 1] - from);
  }
};

}  // namespace

ResultWriter::ResultWriter(const ResultFiles& files, RunFiles& into, unsigned threads)
    : files_(files), threads_(threads) {
  if (!files_.csv.empty()) csv_ = &into.add(files_.csv, "CSV file");
  if (!files_.inbreeding.empty()) inbreeding_ = &into.add(files_.inbreeding, "inbreeding file");
  if (!files_.report.empty()) report_ = &into.add(files_.report, "report");
  if (!files_.summary.empty()) summary_ = &into.add(files_.summary, "summary file");
  if (!files_.fstatistics.empty()) fstatistics_ = &into.add(files_.fstatistics, "F statistics file");
}

void ResultWriter::write(const Computed& run, results::RunFacts facts) {
  facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const genetics::Names& names = run.names;
  const genetics::DriftResults& drift = run.results;
  // The generations in the new numbering, where parents come first.
  const bool diversity = needs_diversity();
  const genetics::PedigreeDepth depth = diversity || inbreeding_ != nullptr ? genetics::pedigree_depth(run.pedigree)
                                                                            : genetics::PedigreeDepth{};
  if (csv_ != nullptr) results::write_csv(drift, names, *csv_);
  const genetics::Diversity figures =
      diversity ? genetics::diversity(run.pedigree, run.inbreeding.F, depth, drift, run.founders) : genetics::Diversity{};
  if (files_.diversity()) {
    if (summary_ != nullptr) {
      const genetics::GroupMembers members(run.pedigree, drift.Q, drift.P);
      const genetics::GroupInput input{run.pedigree, run.inbreeding, drift, figures, members};
      results::write_summary(figures, genetics::group_columns(input), names, *summary_);
    }
    if (fstatistics_ != nullptr) results::write_fstatistics(figures, names, *fstatistics_);
  }
  if (report_ != nullptr) {
    const results::PedigreeCounts counts = results::pedigree_counts(run.pedigree, drift.Q, run.generations);
    const results::PerGroup<double> mean_F = results::mean_inbreeding(figures);
    results::write_report({facts, counts, names, drift, mean_F, &figures}, *report_);
  }
  if (!files_.per_animal()) return;
  // The per-animal files need what compute() frees unless it is told to
  // keep it.
  if (run.codes == nullptr || run.generation.empty() || run.inbreeding.F.empty()) {
    throw std::logic_error("the result files need the run's codes, generations and F kept");
  }
  const LoadingOrder kept(run, depth);
  const CodesInLoadingOrder codes(*run.codes, run.pedigree.n);
  const results::AnimalTable animals{run.pedigree.n,
                                     [&](int32_t a) { return codes.of(a); },
                                     kept.sire,
                                     kept.dam,
                                     kept.pop,
                                     kept.period,
                                     run.generation,
                                     kept.F,
                                     kept.equivalent,
                                     kept.complete,
                                     kept.maximum};
  results::write_inbreeding(animals, names, *inbreeding_, worker_count(threads_));
}

}  // namespace vm
