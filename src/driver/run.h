// The run driver: banner, parameters, files, the stages in their fixed
// order, and the program's endings.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "common/progress.h"
#include "common/sink.h"
#include "driver/result_files.h"
#include "input/load.h"
#include "input/record_source.h"

namespace vm {

// What a run does besides its parameters and files; the classic
// interface takes the defaults.
struct RunSettings {
  unsigned threads = 0;  // 0: the CPUs this process may run on
  input::UnknownParents unknown;
  ResultFiles files;                  // none in a classic run
  // Where the stages tell their progress (null: the classic screen's lines).
  Progress* progress = nullptr;
  bool period_lines = true;           // each period's line on the screen
  // The option interface's reading, a record per line (null: the
  // free-format records of the classic interface).
  const input::LineRequest* reading = nullptr;
  std::string command_line;  // the options as given ("" in a classic run)
  std::vector<std::string> drop_periods = {};  // periods left out of the results
  bool classic = true;                // the log and output exist from the moment the run opens them
  Sink* standard_output = nullptr;    // a file that is the run's standard output goes here (nullptr: the screen)
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
