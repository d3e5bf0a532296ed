#include "driver/result_files.h"

#include <cerrno>
#include <cstring>

#include "common/stop.h"
#include "results/tables.h"

namespace vm {
namespace {

void open_whole(WholeFileSink& file, const std::string& name, const char* what) {
  if (name.empty()) return;
  if (!file.open(name)) throw FileError{std::string("cannot create ") + what + " \"" + name + "\": " + std::strerror(errno)};
}

void commit(WholeFileSink& file, const char* what) {
  if (file.path().empty()) return;
  if (!file.commit()) {
    throw FileError{std::string("cannot write ") + what + " \"" + file.path() + "\": " + std::strerror(errno)};
  }
}

}  // namespace

ResultWriter::ResultWriter(const ResultFiles& files) : files_(files) {
  open_whole(csv_, files_.csv, "the CSV file");
  open_whole(inbreeding_, files_.inbreeding, "the inbreeding file");
  open_whole(report_, files_.report, "the report");
}

void ResultWriter::write(const KeptForResults& kept, const genetics::Names& names, const genetics::DriftResults& drift,
                         results::RunFacts facts) {
  facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const int32_t n = static_cast<int32_t>(kept.sire.size()) - 1;
  std::vector<double> F(kept.sire.size(), 0.0);
  for (int32_t a = 1; a <= n; ++a) F[a] = kept.F[kept.new_of_old[a]];
  const results::AnimalTable animals{n,
                                     [&](int32_t a) { return kept.codes->animal_code(a); },
                                     kept.sire,
                                     kept.dam,
                                     kept.pop,
                                     kept.period,
                                     kept.generation,
                                     F};
  const results::PerGroup<int64_t> counts = results::animals_per_group(animals, drift.Q, drift.P);
  if (!files_.csv.empty()) results::write_csv(drift, names, counts, csv_);
  if (!files_.inbreeding.empty()) results::write_inbreeding(animals, names, inbreeding_);
  if (!files_.report.empty()) {
    const results::PerGroup<double> mean_F = results::mean_inbreeding(animals, counts);
    results::write_report({facts, animals, names, drift, counts, mean_F}, report_);
  }
  commit(csv_, "the CSV file");
  commit(inbreeding_, "the inbreeding file");
  commit(report_, "the report");
}

}  // namespace vm
