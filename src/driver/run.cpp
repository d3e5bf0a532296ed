#include "driver/run.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>
#include <new>
#include <span>
#include <stdexcept>

#include "common/cpus.h"
#include "common/format.h"
#include "common/sha256.h"
#include "common/stop.h"
#include "library/compute.h"
#include "common/exit_info.h"
#include "driver/file_safety.h"
#include "driver/options.h"
#include "driver/screen.h"
#include "driver/parameters.h"
#include "driver/result_files.h"
#include "input/checks.h"
#include "input/record_reader.h"

namespace vm {
namespace {

void write_banner(Sink& screen) {
  screen.write(FreeLine().text(" ***************************************************************************** ").str());
  screen.write(FreeLine().text(" *** Velmora                                                               *** ").str());
  screen.write(FreeLine().text(" *** - estimation of drift variance between populations over time          *** ").str());
  screen.write(FreeLine().text(" ***************************************************************************** ").str());
  screen.write(FreeLine().str());
}

// Never overwrite an input, and never write two of the run's files into
// one file.
void check_distinct_files(const Parameters& p, const std::string& parameter_file, const ResultFiles& results) {
  struct Named {
    const char* what;
    const std::string& name;
  };
  const Named writes[] = {{"log file", p.log},
                          {"output file", p.output},
                          {"CSV file", results.csv},
                          {"inbreeding file", results.inbreeding},
                          {"report", results.report},
                          {"summary file", results.summary},
                          {"F statistics file", results.fstatistics}};
  const Named reads[] = {{"pedigree file", p.pedigree}, {"parameter file", parameter_file}};
  for (const Named& w : writes) {
    if (w.name.empty()) continue;
    for (const Named& r : reads) {
      if (!r.name.empty() && same_file(w.name, r.name)) {
        throw FileError{std::string("the ") + w.what + " \"" + w.name + "\" is the " + r.what + " \"" + r.name +
                        "\"; refusing to overwrite it"};
      }
    }
  }
  for (size_t a = 0; a < std::size(writes); ++a) {
    for (size_t b = a + 1; b < std::size(writes); ++b) {
      if (!writes[a].name.empty() && !writes[b].name.empty() && same_file(writes[a].name, writes[b].name)) {
        throw FileError{std::string("the ") + writes[a].what + " \"" + writes[a].name + "\" and the " + writes[b].what +
                        " \"" + writes[b].name + "\" are the same file"};
      }
    }
  }
}

// Channel 9, the code table's message file, is created by its first line
// under a fixed name; a run whose own files carry that name must not lose
// them to it, and a message that cannot be written ends the run.
class Channel9 : public Sink {
 public:
  // `held`: the run's files, open or read; `later`: files put in place at
  // its end, which may not exist yet.
  Channel9(std::vector<HeldFile>& held, std::vector<std::string> later) : held_(held), later_(std::move(later)) {}
  void write(std::string_view text) override {
    if (!file_.is_open()) open();
    file_.write(text);
  }
  void flush() override { file_.flush(); }
  void close() {
    if (!file_.close()) throw FileError{std::string("cannot write the message file \"") + kName + "\": " + std::strerror(errno)};
  }

 private:
  void open() {
    for (const std::string& name : later_) {
      if (!name.empty() && same_file(kName, name)) {
        throw FileError{std::string("the message file \"") + kName + "\" is the file \"" + name +
                        "\" of this run; refusing to overwrite it"};
      }
    }
    file_.adopt(open_for_writing(kName, "message file", held_), kName);
  }

  static constexpr const char* kName = "fort.9";
  std::vector<HeldFile>& held_;
  std::vector<std::string> later_;
  FileSink file_;
};

void check_field_number(int32_t number, int32_t field_count, const Report& report) {
  if (number >= 1 && number <= field_count) return;
  stop_with_line(report, FreeLine().text(" ERROR: Field number outside the fields of the pedigree file: ").num(number).str());
}

// GETNRFIELDS on the pedigree's first line, or the line layout of an
// option run (which may turn column names into field numbers); the field
// numbers must lie within the fields, as they index FIELDS.
int32_t count_fields(input::PedigreeFile& pedigree, input::FieldNumbers& fn, const Report& report,
                     input::DataNotes& notes, const input::LineRequest* reading) {
  int32_t field_count = 0;
  if (reading != nullptr) {
    field_count = input::read_line_layout(pedigree, *reading, fn);
  } else {
    field_count = input::GETNRFIELDS(pedigree, report.screen);
    pedigree.rewind();
    if (std::string_view first; field_count == 1 && pedigree.next_line(first)) {
      input::check_first_line(first, field_count, notes);
      pedigree.rewind();
    }
    input::check_field_counts(pedigree, field_count, notes);
  }
  report.log.write(FreeLine().text(" Number of fields in pedigree file ").num(field_count).str());
  for (int32_t number : {fn.animal, fn.sire, fn.dam, fn.pop, fn.period}) check_field_number(number, field_count, report);
  return field_count;
}

// How compute() runs for these settings.
ComputeOptions compute_options(const RunSettings& settings, input::DataNotes& notes, const ResultWriter& extra,
                               const std::string& pedigree) {
  ComputeOptions options;
  options.threads = settings.threads;
  options.unknown = settings.unknown;
  options.notes = &notes;
  options.keep = extra.keeps_codes();
  options.diversity = extra.needs_diversity();
  options.report = !settings.files.report.empty();
  options.option_run = settings.reading != nullptr;
  if (settings.reading != nullptr) {
    using Header = input::LineRequest::Header;
    options.header.note = settings.reading->header == Header::kNo;
    if (settings.reading->header == Header::kDetect) options.header.refuse_in = pedigree;
  }
  options.period_lines = settings.period_lines;
  options.drop_periods = settings.drop_periods;
  return options;
}

// The local date and time as ISO 8601 ("2026-12-09 14:55:02 +0100").
std::string iso_local_time(std::time_t when) {
  std::tm local{};
  char text[40] = "";
  if (::localtime_r(&when, &local) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
  return text;
}

// What the report tells of the run besides its results.
results::RunFacts run_facts(const input::PedigreeFile& pedigree, const Computed& run, const input::DataNotes& notes,
                            const RunSettings& settings, std::time_t started) {
  results::RunFacts facts;
  facts.pedigree_file = pedigree.path();
  facts.records = run.scan.R;
  facts.warnings = notes.texts();
  facts.min_animals = settings.files.min_animals;
  facts.version = version_text();
  facts.command_line = settings.command_line;
  facts.started = iso_local_time(started);
  facts.file_bytes = pedigree.size();
  facts.threads = worker_count(settings.threads);
  facts.dropped_periods = settings.drop_periods;
  return facts;
}

// The stages from the field count to the result files, writing the log and
// output among `files`.
void run_stages(const Parameters& p, const RunSettings& settings, input::PedigreeFile& pedigree, const Report& report,
                input::DataNotes& notes, RunFiles& files, std::vector<HeldFile>& held, std::time_t started) {
  if (p.pedigree.empty()) {
    stop_with_line(report, FreeLine().text(" ERROR: No pedigree file selected ").str());
  }
  input::FieldNumbers fn{p.animal, p.sire, p.dam, p.pop, p.period};
  const int32_t field_count = count_fields(pedigree, fn, report, notes, settings.reading);

  if (p.output.empty()) {
    stop_with_line(report, FreeLine().text(" ERROR: No output file selected ").str());
  }
  Sink& output = files.add(p.output, "output file");
  if (settings.classic) create_if_missing(p.output);

  Channel9 channel9(held, {p.log, p.output, settings.files.csv, settings.files.inbreeding, settings.files.report,
                           settings.files.summary, settings.files.fstatistics});
  ResultWriter extra(settings.files, files, settings.threads);
  // The report names the file's digest; it is read on a thread of its own
  // while the scan, which leaves the second core idle, reads the records.
  // A run that ends early tells it to stop, as its future waits for it.
  std::atomic<bool> stop_digest{false};
  std::future<std::string> digest;
  if (!settings.files.report.empty()) {
    digest = std::async(std::launch::async,
                        [fd = pedigree.descriptor(), &stop_digest] { return sha256_of_file(fd, &stop_digest); });
  }
  struct StopOnExit {
    std::atomic<bool>& stop;
    ~StopOnExit() { stop = true; }
  } stop_on_exit{stop_digest};
  input::RecordSource source(pedigree, field_count, fn);
  const Computed run = compute(source, report, output, channel9, compute_options(settings, notes, extra, p.pedigree));
  if (extra.any()) {
    results::RunFacts facts = run_facts(pedigree, run, notes, settings, started);
    if (digest.valid()) facts.sha256 = digest.get();
    extra.write(run, std::move(facts));
  }
  channel9.close();
}

// The run from the parameters to the closing of the files, the same in
// both interfaces; every early end is thrown. The run's files change only
// at its end: all of them when it finishes; only the log, which says why,
// when it stops (and, in a classic run, whatever ended it once the
// pedigree was open, as the classic log tells how far the run came). A
// pedigree that cannot be opened leaves an existing log as it was.
void run_files_and_stages(const Parameters& p, const std::string& parameter_file, const RunSettings& settings,
                          Sink& screen, Sink& errors) {
  const std::time_t started = std::time(nullptr);
  input::DataNotes notes(&errors);
  if (p.log.empty()) {
    screen.write(FreeLine().text(" ERROR: No log file selected ").str());
    throw Stop{kTerminated};
  }
  // The files the run reads, open before any file is made or emptied: a
  // written file is compared with them as open files, whatever its name
  // (a /dev/fd/N name leads to the pedigree only once it is open).
  input::PedigreeFile pedigree;
  const bool pedigree_open = !p.pedigree.empty() && pedigree.open(p.pedigree);
  check_distinct_files(p, parameter_file, settings.files);
  std::vector<HeldFile> held;
  held_by_name("parameter file", parameter_file, held);
  if (pedigree_open) held_by_descriptor(pedigree.descriptor(), "pedigree file", p.pedigree, held);
  if (!pedigree_open && !p.pedigree.empty()) {
    if (settings.classic) create_if_missing(p.log);
    throw FileError{"cannot open pedigree file \"" + p.pedigree + "\": " + pedigree.error()};
  }
  RunFiles files(settings.standard_output != nullptr ? *settings.standard_output : screen, errors, errors, held);
  Sink& log = files.add(p.log, "log file");
  if (settings.classic) create_if_missing(p.log);
  StageLines classic_lines(screen);
  const Report report{screen, log, settings.progress != nullptr ? *settings.progress : classic_lines};
  try {
    run_stages(p, settings, pedigree, report, notes, files, held, started);
  } catch (const Stop&) {
    files.commit_one(log);
    throw;
  } catch (...) {
    if (settings.classic) {
      try {
        files.commit_one(log);
      } catch (const FileError&) {  // the error that ended the run is the one to report
      }
    }
    throw;
  }
  files.commit();
}

// An error about a name that was cut says so.
void remark_on_cut_names(FileError& error, const std::vector<CutName>& cut) {
  for (const CutName& c : cut) {
    if (error.message.find("\"" + c.name + "\"") != std::string::npos) {
      error.message += cut_name_remark(c);
      return;
    }
  }
}

// The classic run: banner, then the parameter file named by the first
// argument or the dialogue. Names keep their first 50 characters; each cut
// name gets a note on the error stream.
void run_classic(const std::vector<std::string>& args, std::FILE* input, Sink& screen, Sink& errors) {
  write_banner(screen);
  const std::string parameter_file = args.size() > 1 ? file_name(args[1]) : std::string();
  std::vector<CutName> cut;
  if (args.size() > 1 && is_cut(args[1])) {
    cut.push_back({"parameter file", parameter_file, std::string(rtrim(args[1]))});
  }
  try {
    if (!cut.empty()) errors.write(cut_name_note(cut.back()));
    Parameters p = parameter_file.empty() ? run_dialogue(input, screen) : read_parameter_file(parameter_file);
    for (const CutName& c : p.cut) errors.write(cut_name_note(c));
    cut.insert(cut.end(), p.cut.begin(), p.cut.end());
    run_files_and_stages(p, parameter_file, RunSettings{}, screen, errors);
  } catch (FileError& error) {
    remark_on_cut_names(error, cut);
    throw;
  }
}

// The parameters of an option run, its file names whole.
Parameters parameters_of(const RunOptions& options) {
  Parameters p;
  p.pedigree = options.pedigree;
  p.animal = options.fields.animal;
  p.sire = options.fields.sire;
  p.dam = options.fields.dam;
  p.pop = options.fields.pop;
  p.period = options.fields.period;
  p.output = options.output.empty() ? default_result_name(options.pedigree, ".out") : options.output;
  p.log = options.log.empty() ? default_result_name(options.pedigree, ".log") : options.log;
  return p;
}

// The error stream of a run whose screen may hold an open progress line:
// the screen is flushed (which ends that line) before a note is written.
class ErrorsAfterScreen : public Sink {
 public:
  ErrorsAfterScreen(Sink& screen, Sink& errors) : screen_(screen), errors_(errors) {}
  void write(std::string_view text) override {
    screen_.flush();
    errors_.write(text);
  }
  void flush() override { errors_.flush(); }

 private:
  Sink& screen_;
  Sink& errors_;
};

// More workers than the CPUs this process may run on only add memory and
// switching: --threads is capped to them, with a note.
unsigned capped_threads(unsigned requested, Sink& notes) {
  const unsigned cpus = usable_cpus();
  if (requested <= cpus) return requested;
  notes.write("velmora: warning: --threads " + std::to_string(requested) + " is more than the " + std::to_string(cpus) +
              " CPUs this run may use; " + std::to_string(cpus) + " threads are used\n");
  return cpus;
}

// `standard_output`: the stream under the screen's filter, for a file that
// is the run's standard output.
void run_with_options(const RunOptions& options, OptionScreen& screen, Sink& standard_output, Sink& errors) {
  if (!options.quiet) write_banner(screen);
  RunSettings settings{options.threads, input::UnknownParents(options.unknown), options.results, &screen,
                       screen.period_lines(), &options.reading, options.command_line};
  ErrorsAfterScreen notes_stream(screen, errors);
  ErrorsAfterScreen output_stream(screen, standard_output);
  settings.classic = false;
  settings.standard_output = &output_stream;
  settings.threads = capped_threads(options.threads, notes_stream);
  settings.drop_periods = options.drop_periods;
  run_files_and_stages(parameters_of(options), std::string(), settings, screen, notes_stream);
}

// "-h", "-help" or "-?" where no parameter file has that name.
bool asks_for_help(const std::string& arg) {
  struct stat st {};
  return (arg == "-h" || arg == "-help" || arg == "-?") && ::stat(arg.c_str(), &st) != 0;
}

OptionScreen::Mode screen_mode(const RunOptions& options, const Sink& screen) {
  if (options.quiet) return OptionScreen::Mode::kQuiet;
  return screen.is_terminal() ? OptionScreen::Mode::kProgress : OptionScreen::Mode::kPlain;
}

// Every ending of a run as its exit status: "Finished." after a run that
// went through, a stop's line on the screen, or the report or file error
// on the error stream.
// A stop of the program's own ends a classic run with status 0, as that
// interface has always done, and an option run with 1: there a script must
// not take it for a success.
template <class Body>
int ended(Body body, const std::string& program, Sink& screen, Sink& errors, int stop_status = 0) {
  // The screen so far, then one report on the error stream.
  auto failed = [&](const std::string& text, int status) {
    screen.flush();
    errors.write(text);
    errors.flush();
    return status;
  };
  try {
    body();
  } catch (const Stop& stop) {
    if (!stop.message.empty()) screen.write(stop.message + "\n");
    screen.flush();
    return stop_status;
  } catch (const FatalExit& fatal) {
    return failed(exit_info_report(fatal, program), fatal.code);
  } catch (const FileError& error) {
    return failed(program + ": " + error.message + "\n", 2);
  } catch (const std::bad_alloc&) {
    return failed(program + ": not enough memory for this pedigree\n", 2);
  } catch (const std::length_error&) {  // an array longer than the library can make
    return failed(program + ": not enough memory for this pedigree\n", 2);
  } catch (const std::exception& e) {  // a thread that cannot be started, and the like
    return failed(program + ": the run cannot go on: " + e.what() + "\n", 2);
  }
  screen.write(std::string(kFinished) + "\n");
  screen.flush();
  return 0;
}

// The option interface: --help and --version answer at once; a command
// line that cannot be used is one error line, exit 2; a run shows the
// screen through the options' screen (quiet, or progress on a terminal).
int run_option_interface(const std::vector<std::string>& args, const std::string& program, Sink& screen,
                         Sink& errors) {
  ParsedOptions parsed;
  try {
    parsed = parse_options(std::span<const std::string>(args).subspan(1));
  } catch (const UsageError& error) {
    errors.write(program + ": " + error.message + " (see " + program + " --help)\n");
    errors.flush();
    return 2;
  }
  if (parsed.command == Command::kHelp) {
    screen.write(usage_text());
    screen.flush();
    return 0;
  }
  if (parsed.command == Command::kVersion) {
    screen.write(version_text() + "\n");
    screen.flush();
    return 0;
  }
  Sink& screen_lines = parsed.run.results_to_standard_output ? errors : screen;
  OptionScreen option_screen(screen_lines, screen_mode(parsed.run, screen_lines));
  return ended([&] { run_with_options(parsed.run, option_screen, screen, errors); }, program, option_screen,
               errors, kStoppedOnData);
}

}  // namespace

int run_velmora(const std::vector<std::string>& args, std::FILE* input, Sink& screen, Sink& errors) {
  const std::string program = args.empty() ? std::string("velmora") : args[0];
  if (args.size() > 1 && args[1].starts_with("--")) return run_option_interface(args, program, screen, errors);
  if (args.size() > 1 && asks_for_help(args[1])) {
    errors.write(program + ": options begin with two hyphens: see " + program + " --help\n");
    errors.flush();
    return 2;
  }
  return ended([&] { run_classic(args, input, screen, errors); }, program, screen, errors);
}

int run_pipeline_for_test(input::PedigreeFile& pedigree, const input::FieldNumbers& fn, Sink& screen, Sink& log,
                          Sink& output, Sink& channel9, Sink& errors, const ResultFiles& files) {
  NullSink no_stream;
  std::vector<HeldFile> held;
  RunFiles result_files(no_stream, no_stream, errors, held);
  return ended(
      [&] {
        ResultWriter extra(files, result_files);
        input::DataNotes notes(&errors);
        StageLines stage_lines(screen);
        const Report report{screen, log, stage_lines};
        input::FieldNumbers numbers = fn;
        input::RecordSource source(pedigree, count_fields(pedigree, numbers, report, notes, nullptr), numbers);
        const Computed run = compute(source, report, output, channel9, compute_options(RunSettings{}, notes, extra, pedigree.path()));
        if (extra.any()) extra.write(run, run_facts(pedigree, run, notes, RunSettings{}, std::time(nullptr)));
        result_files.commit();
      },
      "velmora", screen, errors);
}

}  // namespace vm
