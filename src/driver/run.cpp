#include "driver/run.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/format.h"
#include "common/stop.h"
#include "driver/exit_info.h"
#include "driver/parameters.h"
#include "genetics/genetics.h"
#include "hash/module_hash.h"
#include "input/record_reader.h"
#include "input/scan.h"
#include "pedigree/generations.h"
#include "pedigree/renumber.h"

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
// existing file.
bool same_existing_file(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Two names of files still to be created are the same file when they are
// the same text (the folder part resolves alike).
bool same_file(const std::string& a, const std::string& b) {
  if (a == b) return true;
  return same_existing_file(a, b);
}

// Never overwrite an input, and never write the log and the output into
// one file.
void check_distinct_files(const Parameters& p, const std::string& parameter_file) {
  struct Named {
    const char* what;
    const std::string& name;
  };
  const Named writes[] = {{"log file", p.log}, {"output file", p.output}};
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
  if (!p.log.empty() && !p.output.empty() && same_file(p.log, p.output)) {
    throw FileError{"the log file \"" + p.log + "\" and the output file \"" + p.output + "\" are the same file"};
  }
}

void open_for_writing(FileSink& file, const std::string& name, const char* what) {
  if (!file.open(name)) throw FileError{std::string("cannot create ") + what + " \"" + name + "\": " + std::strerror(errno)};
}

void check_field_number(int32_t number, int32_t field_count, Sink& screen, Sink& log) {
  if (number >= 1 && number <= field_count) return;
  std::string line = FreeLine().text(" ERROR: Field number outside the fields of the pedigree file: ").num(number).str();
  screen.write(line);
  log.write(line);
  throw Stop{kTerminated};
}

genetics::Names population_and_period_names(const input::Codes& codes, const input::ScanResult& scan) {
  genetics::Names names;
  names.pop.assign(1, "");
  names.period.assign(1, "");
  for (int32_t I = 1; I <= scan.Q; ++I) names.pop.emplace_back(codes.pop_name(I));
  for (int32_t a = 1; a <= scan.P; ++a) names.period.emplace_back(codes.period_name(a));
  return names;
}

// The run from the banner to the closing of the files; every early end is
// thrown.
void run_stages(const std::vector<std::string>& args, std::FILE* input, Sink& screen) {
  write_banner(screen);

  const std::string parameter_file = args.size() > 1 ? file_name(args[1]) : std::string();
  Parameters p = parameter_file.empty() ? run_dialogue(input, screen) : read_parameter_file(parameter_file);

  if (p.log.empty()) {
    screen.write(FreeLine().text(" ERROR: No log file selected ").str());
    throw Stop{kTerminated};
  }
  check_distinct_files(p, parameter_file);
  FileSink log;
  open_for_writing(log, p.log, "log file");

  if (p.pedigree.empty()) {
    std::string line = FreeLine().text(" ERROR: No pedigree file selected ").str();
    screen.write(line);
    log.write(line);
    throw Stop{kTerminated};
  }
  input::PedigreeFile pedigree;
  if (!pedigree.open(p.pedigree)) {
    throw FileError{"cannot open pedigree file \"" + p.pedigree + "\": " + pedigree.error()};
  }
  const int32_t field_count = input::GETNRFIELDS(pedigree, screen);
  pedigree.rewind();
  log.write(FreeLine().text(" Number of fields in pedigree file ").num(field_count).str());
  for (int32_t number : {p.animal, p.sire, p.dam, p.pop, p.period}) check_field_number(number, field_count, screen, log);

  if (p.output.empty()) {
    std::string line = FreeLine().text(" ERROR: No output file selected ").str();
    screen.write(line);
    log.write(line);
    throw Stop{kTerminated};
  }
  FileSink output;
  open_for_writing(output, p.output, "output file");

  LazyFileSink channel9("fort.9");
  hash::ModuleHash hash(&screen, &channel9);
  input::FieldNumbers fn{p.animal, p.sire, p.dam, p.pop, p.period};
  input::Fields fields(field_count);
  std::unique_ptr<input::Codes> codes;

  const input::ScanResult scan = input::scan_pedigree(pedigree, fields, fn, hash, codes, screen, log);
  input::Animals animals = input::load_animals(pedigree, fields, fn, scan.R, hash, *codes, screen, log);

  pedigree::LoadedPedigree loaded{animals.n, std::move(animals.sire), std::move(animals.dam)};
  auto code_of = [&](int32_t a) { return codes->animal_code(a); };
  std::vector<int32_t> gen = pedigree::assign_generations(loaded, code_of, screen, log);
  pedigree::Renumbered renumbered = pedigree::renumber(loaded, gen, animals.period, animals.pop, screen);
  std::vector<int32_t>().swap(gen);

  genetics::SortedPedigree sorted;
  sorted.n = loaded.n;
  sorted.sire = std::move(renumbered.sire);
  sorted.dam = std::move(renumbered.dam);
  sorted.period = std::move(renumbered.period);
  sorted.pop = std::move(renumbered.pop);
  const genetics::Names names = population_and_period_names(*codes, scan);
  codes.reset();
  loaded = {};
  animals = {};

  screen.write(FreeLine().text(" Calculating coefficients of inbreeding ...").str());
  const std::vector<double> D = genetics::INBREED(sorted, screen);
  const genetics::DriftResults results = genetics::drift_per_period(sorted, D, names, screen, log);
  genetics::write_result_table(results, names, output);

  if (!channel9.close()) throw FileError{"cannot write the message file \"" + channel9.path() + "\""};
  if (!output.close()) throw FileError{"cannot write the output file \"" + p.output + "\" (disk full?)"};
  if (!log.close()) throw FileError{"cannot write the log file \"" + p.log + "\" (disk full?)"};
  throw Stop{"Finished."};
}

}  // namespace

int run_velmora(const std::vector<std::string>& args, std::FILE* input, Sink& screen, Sink& errors) {
  set_program_name(args.empty() ? std::string() : args[0]);
  try {
    run_stages(args, input, screen);
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
    std::string program = args.empty() ? std::string("velmora") : args[0];
    errors.write(program + ": " + error.message + "\n");
    errors.flush();
    return 2;
  } catch (const std::bad_alloc&) {
    screen.flush();
    errors.write("velmora: not enough memory for this pedigree\n");
    errors.flush();
    return 2;
  }
  return 0;
}

}  // namespace vm
