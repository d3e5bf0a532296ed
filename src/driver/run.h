// The run driver: banner, parameters, files, the stages in their fixed
// order, and the program's endings.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "common/sink.h"
#include "driver/result_files.h"
#include "genetics/genetics.h"
#include "input/scan.h"
#include "pedigree/renumber.h"

namespace vm {

// The hand-overs between the stages, shared with the stage timer so that
// both run the very same pipeline.
// Population and period names by number (entry 0 unused).
genetics::Names population_and_period_names(const input::Codes& codes, const input::ScanResult& scan);
// The renumbered pedigree handed to the computations (the arrays move).
genetics::SortedPedigree sorted_pedigree(int32_t n, pedigree::Renumbered&& renumbered);

// What a run does besides its parameters and files; the classic
// interface takes the defaults.
struct ProgressBasis;
struct RunSettings {
  unsigned threads = 0;  // 0: the CPUs this process may run on
  input::UnknownParents unknown;
  ResultFiles files;                  // none in a classic run
  ProgressBasis* progress = nullptr;  // told the pedigree file and the animal count, for the progress line
};

// Runs the whole program with `args` (args[0] is the program as invoked).
// Writes the screen to `screen`, the error stream to `errors`, reads the
// dialogue from `input`; returns the exit status.
int run_velmora(const std::vector<std::string>& args, std::FILE* input, Sink& screen, Sink& errors);

// The same run from the field count of an already open pedigree to the
// result table, with the log, output and message file in sinks, and the
// result files `files` asks for; every ending becomes an exit status as
// above. For tests and fuzzing.
int run_pipeline_for_test(input::PedigreeFile& pedigree, const input::FieldNumbers& fn, Sink& screen, Sink& log,
                          Sink& output, Sink& channel9, Sink& errors, const ResultFiles& files = {});

}  // namespace vm
