// The run's computation: the stages from the scan of the open pedigree to
// the result table, in their fixed order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "common/sink.h"
#include "genetics/genetics.h"
#include "input/checks.h"
#include "input/code_store.h"
#include "input/load.h"
#include "input/record_source.h"
#include "input/scan.h"
#include "pedigree/pedigree.h"

namespace vm {

struct Computed;
// Called after each stage of compute() with the stage's name and the run
// so far (the stage timer laps there).
using StageDone = std::function<void(std::string_view stage, const Computed& run)>;

struct ComputeOptions {
  StageDone stage_done;
  // Parent codes that stand for an unknown parent.
  input::UnknownParents unknown;
  // Where the data checks note what they find (none: no checks).
  input::DataNotes* notes = nullptr;
  // Worker threads of the inbreeding and the periods (0: one per usable
  // CPU).
  unsigned threads = 0;
  // Keep the code store, the animals' loading numbers and generations, and
  // F for the caller; otherwise they are freed as soon as the run no longer
  // needs them.
  bool keep = false;
  // Keep F and sum the founders of every group in the period loop, for the
  // diversity figures.
  bool diversity = false;
  // The HTML report is built from the results: its page, held while it is
  // written, counts in the memory the results may take.
  bool report = false;
  // The option interface's rules: a loop is named on the screen and in the
  // log (a classic run keeps its lines and gets a note).
  bool option_run = false;
  // Each period's line on the screen as it begins (the classic screen); a
  // screen that shows progress otherwise leaves them out.
  bool period_lines = true;
  // Periods left out of the groups (their animals stay ancestors).
  std::vector<std::string> drop_periods;
  // What the header check does with a first record that looks like one.
  input::HeaderRule header;
};

// What a run leaves besides the written lines.
struct Computed {
  input::ScanResult scan;
  Pedigree pedigree;                         // in the new numbering
  std::unique_ptr<input::CodeStore> codes;   // when kept
  std::vector<int32_t> generation;           // by loading number, when kept
  int32_t generations = 0;                   // the highest generation, always
  genetics::Names names;
  genetics::Inbreeding inbreeding;           // F when kept
  genetics::DriftResults results;
  genetics::FounderSums founders;            // with the diversity figures
};

// The stages from the scan of the open pedigree to the inbreeding: the
// pedigree read, checked, numbered, with F and D.
Computed load_stages(input::RecordSource& source, const Report& report, Sink& channel9, const ComputeOptions& options);
// The period loop over a loaded run: its results, and each group's
// founder sums where `founders` is given.
genetics::DriftResults drift_stage(const Computed& run, const Report& report, const ComputeOptions& options,
                                   genetics::FounderSums* founders = nullptr);

// The stages from the scan of the open pedigree to the result table, in
// their fixed order: the whole run once the files are open.
Computed compute(input::RecordSource& source, const Report& report, Sink& output, Sink& channel9,
                 const ComputeOptions& options = {});

}  // namespace vm
