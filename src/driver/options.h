// The option interface: `velmora --pedigree FILE [...]`. The run takes its
// values from options instead of a parameter file; file names are used
// whole.
//
// To add an option: a member in RunOptions (output files in the block
// marked for them), one row in the option table of options.cpp (name,
// value word, help line, how the value is taken), and its use in the
// driver.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "driver/result_files.h"
#include "input/scan.h"

namespace vm {

// Everything an option run is asked to do.
struct RunOptions {
  std::string pedigree;
  input::FieldNumbers fields{1, 2, 3, 4, 5};
  // Empty: the pedigree's name without its last extension plus ".out" or
  // ".log", in the working folder (see default_result_name).
  std::string output;
  std::string log;
  unsigned threads = 0;              // 0: the CPUs this process may run on
  std::vector<std::string> unknown;  // codes that count as an unknown parent, besides 0 and hyphens
  std::vector<std::string> drop_periods;  // periods left out of the results
  bool quiet = false;                // the screen shows errors and the final line only
  // --csv - or --inbreeding -: that table is standard output, and the
  // screen lines go to the error stream.
  bool results_to_standard_output = false;
  // The options as given, for the report's run facts.
  std::string command_line;
  // How the lines are read: separator, header, fields by name.
  input::LineRequest reading;

  // The result files for other programs and people (empty: not written).
  ResultFiles results;
};

enum class Command { kRun, kHelp, kVersion };

struct ParsedOptions {
  Command command = Command::kRun;
  RunOptions run;
};

// A command line that cannot be used; the message names the option and
// what is wrong with it.
struct UsageError {
  std::string message;
};

// Reads the options (the arguments after the program name). `--name VALUE`
// and `--name=VALUE` are the same; every option may be given once.
// UsageError for an unknown, repeated or malformed option, a stray
// argument, or a run without --pedigree.
ParsedOptions parse_options(std::span<const std::string> args);

// The text of --help.
std::string usage_text();

// "velmora X.Y.Z", the text of --version without its newline.
std::string version_text();

// The name a result file gets by default: the pedigree's file name without
// its last extension plus `extension`, in the working folder. When that
// would be the pedigree itself (a pedigree named "x.out"), the extension
// is added to the whole name instead.
std::string default_result_name(const std::string& pedigree, const std::string& extension);

}  // namespace vm
