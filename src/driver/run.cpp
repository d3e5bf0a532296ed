#include "driver/run.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <new>
#include <span>
#include <stdexcept>

#include "common/format.h"
#include "common/stop.h"
#include "driver/compute.h"
#include "driver/exit_info.h"
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

// The identity of a file for the same-file check: device and inode of an
// existing file (through links).
bool same_existing_file(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The absolute path a name will be created at: the folders that exist
// resolved (links, "." and ".."), and a final link followed even when its
// target does not exist yet.
std::filesystem::path resolved(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(name, ec);
  if (ec) return name;
  for (int links = 0; links < 40; ++links) {
    fs::path q = fs::weakly_canonical(p, ec);
    if (ec) return p.lexically_normal();
    if (!fs::is_symlink(fs::symlink_status(q, ec))) return q;
    fs::path target = fs::read_symlink(q, ec);
    if (ec) return q;
    p = target.is_absolute() ? target : q.parent_path() / target;
  }
  return p.lexically_normal();
}

// Two names are one file when they name the same existing file, or when
// they resolve to the same place (files still to be created).
bool same_file(const std::string& a, const std::string& b) {
  if (a == b) return true;
  return same_existing_file(a, b) || resolved(a) == resolved(b);
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
                          {"report", results.report}};
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
// them to it.
class Channel9 : public Sink {
 public:
  explicit Channel9(std::vector<std::string> run_files) : file_("fort.9"), run_files_(std::move(run_files)) {}
  void write(std::string_view text) override {
    if (!checked_) {
      checked_ = true;
      for (const std::string& name : run_files_) {
        if (!name.empty() && same_file(file_.path(), name)) {
          throw FileError{"the message file \"" + file_.path() + "\" is the file \"" + name +
                          "\" of this run; refusing to overwrite it"};
        }
      }
    }
    file_.write(text);
  }
  void flush() override { file_.flush(); }
  bool close() { return file_.close(); }
  const std::string& path() const { return file_.path(); }

 private:
  LazyFileSink file_;
  std::vector<std::string> run_files_;
  bool checked_ = false;
};

void open_for_writing(FileSink& file, const std::string& name, const char* what) {
  if (!file.open(name)) throw FileError{std::string("cannot create ") + what + " \"" + name + "\": " + std::strerror(errno)};
}

void check_field_number(int32_t number, int32_t field_count, const Report& report) {
  if (number >= 1 && number <= field_count) return;
  stop_with_line(report, FreeLine().text(" ERROR: Field number outside the fields of the pedigree file: ").num(number).str());
}

// GETNRFIELDS on the pedigree's first line; the field numbers must lie
// within the fields, as they index FIELDS.
int32_t count_fields(input::PedigreeFile& pedigree, const input::FieldNumbers& fn, const Report& report,
                     input::DataNotes& notes) {
  const int32_t field_count = input::GETNRFIELDS(pedigree, report.screen);
  pedigree.rewind();
  if (std::string_view first; field_count == 1 && pedigree.next_line(first)) {
    input::check_first_line(first, field_count, notes);
    pedigree.rewind();
  }
  report.log.write(FreeLine().text(" Number of fields in pedigree file ").num(field_count).str());
  for (int32_t number : {fn.animal, fn.sire, fn.dam, fn.pop, fn.period}) check_field_number(number, field_count, report);
  return field_count;
}

// How compute() runs for these settings; the progress line learns the
// number of animals once they are loaded.
ComputeOptions compute_options(const RunSettings& settings, input::DataNotes& notes, bool keep) {
  ComputeOptions options;
  options.threads = settings.threads;
  options.unknown = settings.unknown;
  options.notes = &notes;
  options.keep = keep;
  if (settings.progress != nullptr) {
    options.stage_done = [progress = settings.progress](std::string_view stage, const Computed& run) {
      if (stage == "load_animals") progress->animals = run.pedigree.n;
    };
  }
  return options;
}

// The run from the parameters to the closing of the files, the same in
// both interfaces; every early end is thrown.
void run_files_and_stages(const Parameters& p, const std::string& parameter_file, const RunSettings& settings,
                          Sink& screen, Sink& errors) {
  input::DataNotes notes(&errors);
  if (p.log.empty()) {
    screen.write(FreeLine().text(" ERROR: No log file selected ").str());
    throw Stop{kTerminated};
  }
  check_distinct_files(p, parameter_file, settings.files);
  FileSink log;
  open_for_writing(log, p.log, "log file");
  const Report report{screen, log};

  if (p.pedigree.empty()) {
    stop_with_line(report, FreeLine().text(" ERROR: No pedigree file selected ").str());
  }
  input::PedigreeFile pedigree;
  if (!pedigree.open(p.pedigree)) {
    throw FileError{"cannot open pedigree file \"" + p.pedigree + "\": " + pedigree.error()};
  }
  if (settings.progress != nullptr) settings.progress->pedigree = &pedigree;
  const input::FieldNumbers fn{p.animal, p.sire, p.dam, p.pop, p.period};
  const int32_t field_count = count_fields(pedigree, fn, report, notes);

  if (p.output.empty()) {
    stop_with_line(report, FreeLine().text(" ERROR: No output file selected ").str());
  }
  // The log exists now: a link that leads from the output to it shows.
  if (same_existing_file(p.output, p.log)) {
    throw FileError{"the log file \"" + p.log + "\" and the output file \"" + p.output + "\" are the same file"};
  }
  FileSink output;
  open_for_writing(output, p.output, "output file");

  Channel9 channel9({p.pedigree, parameter_file, p.log, p.output, settings.files.csv, settings.files.inbreeding,
                     settings.files.report});
  ResultWriter extra(settings.files, settings.threads);
  input::RecordSource source(pedigree, field_count, fn);
  const Computed run = compute(source, report, output, channel9, compute_options(settings, notes, extra.any()));
  if (extra.any()) extra.write(run, {pedigree.path(), run.scan.R, notes.texts(), 0});

  if (!channel9.close()) throw FileError{"cannot write the message file \"" + channel9.path() + "\""};
  if (!output.close()) throw FileError{"cannot write the output file \"" + p.output + "\" (disk full?)"};
  if (!log.close()) throw FileError{"cannot write the log file \"" + p.log + "\" (disk full?)"};
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

void run_with_options(const RunOptions& options, Sink& screen, Sink& errors, ProgressBasis& progress) {
  if (!options.quiet) write_banner(screen);
  const RunSettings settings{options.threads, input::UnknownParents(options.unknown), options.results, &progress};
  ErrorsAfterScreen notes_stream(screen, errors);
  run_files_and_stages(parameters_of(options), std::string(), settings, screen, notes_stream);
}

OptionScreen::Mode screen_mode(const RunOptions& options, const Sink& screen) {
  if (options.quiet) return OptionScreen::Mode::kQuiet;
  return screen.is_terminal() ? OptionScreen::Mode::kProgress : OptionScreen::Mode::kPlain;
}

// Every ending of a run as its exit status: "Finished." after a run that
// went through, a stop's line on the screen, or the report or file error
// on the error stream.
template <class Body>
int ended(Body body, const std::string& program, Sink& screen, Sink& errors) {
  try {
    body();
  } catch (const Stop& stop) {
    if (!stop.message.empty()) screen.write(stop.message + "\n");
    screen.flush();
    return 0;
  } catch (const FatalExit& fatal) {
    screen.flush();
    errors.write(fatal.report);
    errors.flush();
    return fatal.code;
  } catch (const FileError& error) {
    screen.flush();
    errors.write(program + ": " + error.message + "\n");
    errors.flush();
    return 2;
  } catch (const std::bad_alloc&) {
    screen.flush();
    errors.write(program + ": not enough memory for this pedigree\n");
    errors.flush();
    return 2;
  } catch (const std::length_error&) {  // an array longer than the library can make
    screen.flush();
    errors.write(program + ": not enough memory for this pedigree\n");
    errors.flush();
    return 2;
  } catch (const std::exception& e) {  // a thread that cannot be started, and the like
    screen.flush();
    errors.write(program + ": the run cannot go on: " + e.what() + "\n");
    errors.flush();
    return 2;
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
  ProgressBasis progress;
  OptionScreen option_screen(screen, screen_mode(parsed.run, screen), progress);
  return ended([&] { run_with_options(parsed.run, option_screen, errors, progress); }, program, option_screen, errors);
}

}  // namespace

int run_velmora(const std::vector<std::string>& args, std::FILE* input, Sink& screen, Sink& errors) {
  set_program_name(args.empty() ? std::string() : args[0]);
  const std::string program = args.empty() ? std::string("velmora") : args[0];
  if (args.size() > 1 && args[1].starts_with("--")) return run_option_interface(args, program, screen, errors);
  return ended([&] { run_classic(args, input, screen, errors); }, program, screen, errors);
}

int run_pipeline_for_test(input::PedigreeFile& pedigree, const input::FieldNumbers& fn, Sink& screen, Sink& log,
                          Sink& output, Sink& channel9, Sink& errors, const ResultFiles& files) {
  set_program_name("velmora");
  return ended(
      [&] {
        ResultWriter extra(files);
        input::DataNotes notes(&errors);
        const Report report{screen, log};
        input::RecordSource source(pedigree, count_fields(pedigree, fn, report, notes), fn);
        const Computed run = compute(source, report, output, channel9, compute_options(RunSettings{}, notes, extra.any()));
        if (extra.any()) extra.write(run, {pedigree.path(), run.scan.R, notes.texts(), 0});
      },
      "velmora", screen, errors);
}

}  // namespace vm
