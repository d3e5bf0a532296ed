#include "library/compute.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "common/cpus.h"
#include "common/format.h"
#include "common/huge_pages.h"
#include "common/stop.h"
#include "hash/module_hash.h"
#include "input/load.h"
#include "pedigree/generations.h"
#include "pedigree/renumber.h"

namespace vm {
namespace {

// The result arrays hold four values per ordered pair of populations and
// period. A wrong field number (the animal field taken as the population)
// easily asks for more than the machine has; the allocation would then not
// fail but page the machine to a halt, so it is refused up front. The
// report's page grows with the pairs too (its heat map and charts are held
// while it is written, in strings that may briefly be there twice: up to
// 800 bytes per ordered pair, and 16 more per period), and a limit on this
// process (ulimit -v, a container's memory limit) counts like the
// machine's memory.
// The diversity figures add about 200 bytes per population and period
// (founder sums, running sums and figures).
void check_result_memory(const input::PedigreeFile& pedigree, const input::ScanResult& scan, bool report,
                         bool diversity) {
  const double pairs = scan.Q * static_cast<double>(scan.Q);
  const double arrays = 4.0 * sizeof(double) * pairs * scan.P + (diversity ? 200.0 * scan.Q * scan.P : 0.0);
  const double page = report ? pairs * (800.0 + 16.0 * scan.P) : 0.0;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  double limit = pages > 0 && page_size > 0 ? 0.75 * static_cast<double>(pages) * static_cast<double>(page_size)
                                            : static_cast<double>(SIZE_MAX) / 2;
  if (const double set = memory_limit(); set > 0) limit = std::min(limit, set);
  if (arrays + page <= limit) return;
  throw FileError{"pedigree file \"" + pedigree.path() + "\": the results of " + std::to_string(scan.Q) +
                  " populations and " + std::to_string(scan.P) + " periods need " +
                  std::to_string(static_cast<long long>((arrays + page) / 1e6)) + " MB" +
                  (report ? " with the report" : "") + ", more than this run may use (check the population and period field numbers" +
                  (report ? ", or leave out --report)" : ")")};
}

// Population and period names by number (entry 0 unused).
genetics::Names population_and_period_names(const input::CodeStore& codes, const input::ScanResult& scan) {
  genetics::Names names;
  names.pop.assign(1, "");
  names.period.assign(1, "");
  for (int32_t I = 1; I <= scan.Q; ++I) names.pop.emplace_back(codes.pop_name(I));
  for (int32_t a = 1; a <= scan.P; ++a) names.period.emplace_back(codes.period_name(a));
  return names;
}

}  // namespace

Computed load_stages(input::RecordSource& source, const Report& report, Sink& channel9, const ComputeOptions& options) {
  Computed run;
  auto done = [&](std::string_view stage) {
    if (options.stage_done) options.stage_done(stage, run);
  };
  hash::ModuleHash hash(&report.screen, &channel9);
  std::unique_ptr<input::CodeStore> codes;

  run.scan = input::scan_pedigree(source, hash, codes, report, worker_count(options.threads));
  if (!options.drop_periods.empty()) {
    for (const std::string& code : input::drop_periods(*codes, run.scan, options.drop_periods)) {
      if (options.notes != nullptr) options.notes->add("no period \"" + code + "\" to leave out: the pedigree has none");
    }
  }
  if (options.notes != nullptr) {
    input::check_reading(source.file, *options.notes);
    input::check_group_counts(run.scan.Q, run.scan.P, *options.notes);
    input::check_period_order(*codes, run.scan.P, *options.notes);
    input::check_swapped_fields(*codes, run.scan.Q, run.scan.P, *options.notes);
  }
  check_result_memory(source.file, run.scan, options.report, options.diversity);
  done("scan_pedigree");
  run.pedigree = input::load_animals(source, options.unknown, run.scan.R, hash, *codes, report, options.threads);
  done("load_animals");
  if (options.notes != nullptr) input::check_parents(run.pedigree, *codes, *options.notes, options.header);
  done("data checks");

  const auto code_of = [&](int32_t a) { return codes->animal_code(a); };
  const pedigree::LoopReport loops = options.option_run ? pedigree::LoopReport::kScreenAndLog
                                                         : pedigree::LoopReport::kNote;
  const auto note = [&](const std::string& text) {
    if (options.notes != nullptr) options.notes->add(text);
  };
  std::vector<int32_t> gen = pedigree::assign_generations(run.pedigree, code_of, report, loops, note);
  run.generations = gen.empty() ? 0 : *std::max_element(gen.begin(), gen.end());
  done("assign_generations");
  // Nothing after this needs the code table but the names, unless the
  // caller keeps it: freed before the renumbering, its pages serve the
  // renumbering's new arrays (the largest pedigrees' peak is there).
  run.names = population_and_period_names(*codes, run.scan);
  if (!options.keep) codes.reset();
  pedigree::renumber(run.pedigree, gen, report.progress, worker_count(options.threads));
  if (!options.keep) std::vector<int32_t>().swap(gen);
  done("renumber");

  if (options.keep) {
    run.codes = std::move(codes);
    run.generation = std::move(gen);
  } else {
    std::vector<int32_t>().swap(run.pedigree.loaded_as);
  }
  done("names, free input");

  report.progress.stage("inbreeding", run.pedigree.n);
  run.inbreeding = genetics::INBREED(run.pedigree, report.progress, options.threads);
  done("INBREED");
  return run;
}

genetics::DriftResults drift_stage(const Computed& run, const Report& report, const ComputeOptions& options,
                                   genetics::FounderSums* founders) {
  report.progress.stage("periods", run.scan.P);
  NullSink no_period_lines;
  const Report period_report{options.period_lines ? report.screen : no_period_lines, report.log, report.progress};
  return genetics::drift_per_period(run.pedigree, run.inbreeding.D, run.names, period_report, options.threads, founders,
                                    &run.inbreeding.pop_group);
}

Computed compute(input::RecordSource& source, const Report& report, Sink& output, Sink& channel9,
                 const ComputeOptions& options) {
  Computed run = load_stages(source, report, channel9, options);
  auto done = [&](std::string_view stage) {
    if (options.stage_done) options.stage_done(stage, run);
  };
  if (!options.keep && !options.diversity) std::vector<double>().swap(run.inbreeding.F);
  run.results = drift_stage(run, report, options, options.diversity ? &run.founders : nullptr);
  give_back_kept_pages();
  done("drift_per_period");
  genetics::write_result_table(run.results, run.names, output);
  done("write_result_table");
  return run;
}

}  // namespace vm
