// velmora_stages: times each stage of a Velmora run on one pedigree file.
//
// Usage: velmora_stages [--fields A,S,D,P,T] [--output FILE] [--until STAGE]
//                       [--inbreed-again N] pedigree.ped
//
//   --fields   field numbers of animal, sire, dam, population and period
//              (default 1,2,3,4,5)
//   --output   where the result table goes (default /dev/null); the file is
//              the same as the program's output file for the same pedigree
//   --until    ends the run after the stage of that name (as printed, from
//              scan_pedigree on), for timing the early stages again and
//              again without the rest
//   --inbreed-again N
//              ends the run before INBREED, then runs INBREED N times on
//              the pedigree, printing each run's seconds, CPU seconds and a
//              digest of the bits of F and D (equal digests: equal results),
//              for comparing ways of computing it without the loading's
//              noise
//
// Runs the program's own compute() (src/library/compute.cpp), lapping a timer
// after each of its stages, and prints one line per stage: wall time, the
// peak resident memory of the process after the stage (MB = 10^6 bytes)
// and the CPU time of all its threads (user and system; steadier than the
// wall time on a busy machine). Screen, log and message-file lines go to a
// NullSink, so their cost is only the formatting.

#include <sys/resource.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/sink.h"
#include "common/stop.h"
#include "library/compute.h"
#include "input/record_reader.h"
#include "input/record_source.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Row {
  std::string stage;
  double seconds;
  long peak_kb;
  double cpu_seconds;
};

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long peak_rss_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // kilobytes on Linux
}

class Timer {
 public:
  explicit Timer(std::vector<Row>& rows) : rows_(rows), start_(Clock::now()), cpu_start_(cpu_seconds()) {}
  // Closes the running stage under `name` and starts the next one.
  void lap(std::string_view name) {
    const Clock::time_point now = Clock::now();
    const double cpu = cpu_seconds();
    rows_.push_back({std::string(name), std::chrono::duration<double>(now - start_).count(), peak_rss_kb(),
                     cpu - cpu_start_});
    start_ = Clock::now();
    cpu_start_ = cpu;
  }

 private:
  std::vector<Row>& rows_;
  Clock::time_point start_;
  double cpu_start_;
};

// Thrown once the stage asked for with --until is done.
struct UntilReached {};

// The pedigree INBREED is given, kept for --inbreed-again.
struct Kept {
  vm::Pedigree pedigree;
};

// FNV-1a over the bits of F and D.
uint64_t digest(const vm::genetics::Inbreeding& r) {
  uint64_t h = 14695981039346656037ull;
  for (const std::vector<double>* v : {&r.F, &r.D})
    for (double x : *v) h = (h ^ std::bit_cast<uint64_t>(x)) * 1099511628211ull;
  return h;
}

void inbreed_again(const vm::Pedigree& ped, int times) {
  std::printf("%-20s %10s %10s %16s\n", "INBREED again", "seconds", "CPU s", "digest of F, D");
  for (int k = 1; k <= times; ++k) {
    const Clock::time_point start = Clock::now();
    const double cpu = cpu_seconds();
    const vm::genetics::Inbreeding r = vm::genetics::INBREED(ped, vm::no_progress());
    std::printf("%-20d %10.3f %10.3f %016llx\n", k, std::chrono::duration<double>(Clock::now() - start).count(),
                cpu_seconds() - cpu, static_cast<unsigned long long>(digest(r)));
  }
}

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr, "velmora_stages: %s\nUsage: velmora_stages [--fields A,S,D,P,T] [--output FILE] [--until STAGE] "
               "[--inbreed-again N] pedigree.ped\n",
               message);
  std::exit(64);
}

vm::input::FieldNumbers parse_fields(const std::string& text) {
  int32_t v[5];
  int used = 0;
  if (std::sscanf(text.c_str(), "%d,%d,%d,%d,%d%n", &v[0], &v[1], &v[2], &v[3], &v[4], &used) != 5 ||
      static_cast<size_t>(used) != text.size())
    usage("--fields needs five numbers separated by commas");
  return {v[0], v[1], v[2], v[3], v[4]};
}

// The run after the parameters: the opening of the files, then compute()
// with a lap after each stage.
void run(const std::string& path, const vm::input::FieldNumbers& fn, const std::string& output_path,
         const std::string& until, int again, std::vector<Row>& rows) {
  using namespace vm;
  NullSink screen, log, channel9;
  Timer timer(rows);

  input::PedigreeFile pedigree;
  if (!pedigree.open(path)) throw FileError{"cannot open pedigree file \"" + path + "\": " + pedigree.error()};
  const int32_t field_count = input::GETNRFIELDS(pedigree, screen);
  pedigree.rewind();
  for (int32_t number : {fn.animal, fn.sire, fn.dam, fn.pop, fn.period})
    if (number < 1 || number > field_count) throw FileError{"field number outside the fields of the pedigree file"};
  FileSink output;
  if (!output.open(output_path)) throw FileError{"cannot create output file \"" + output_path + "\""};
  input::RecordSource source(pedigree, field_count, fn);
  timer.lap("open, field count");

  input::DataNotes notes(nullptr);  // checked as in a run, not shown
  ComputeOptions options;
  options.notes = &notes;
  // The first line of the table, from what the run has counted so far.
  auto describe = [&](const Computed& run) {
    std::fprintf(stdout, "# %s: %d records, %d animals, %d populations, %d periods\n", path.c_str(), run.scan.R,
                 run.pedigree.n, run.scan.Q, run.scan.P);
  };
  options.stage_done = [&](std::string_view stage, const Computed& run) {
    timer.lap(stage);
    if (again > 0 && stage == "names, free input") {
      describe(run);
      throw Kept{run.pedigree};
    }
    if (stage != until) return;
    describe(run);
    throw UntilReached{};
  };
  StageLines stage_lines(screen);
  const Computed run = compute(source, Report{screen, log, stage_lines}, output, channel9, options);
  if (!output.close()) throw FileError{"cannot write the output file \"" + output_path + "\""};
  if (!until.empty()) usage(("no stage \"" + until + "\" in the run (it went to its end)").c_str());
  describe(run);
}

}  // namespace

int main(int argc, char** argv) {
  vm::input::FieldNumbers fn{1, 2, 3, 4, 5};
  std::string output = "/dev/null";
  std::string path, until;
  int again = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--fields" && i + 1 < argc) {
      fn = parse_fields(argv[++i]);
    } else if (arg == "--output" && i + 1 < argc) {
      output = argv[++i];
    } else if (arg == "--until" && i + 1 < argc) {
      until = argv[++i];
    } else if (arg == "--inbreed-again" && i + 1 < argc) {
      again = std::atoi(argv[++i]);
      if (again < 1) usage("--inbreed-again needs a count of at least 1");
    } else if (arg == "--help") {
      usage("times each stage of a run");
    } else if (!arg.empty() && arg[0] != '-' && path.empty()) {
      path = arg;
    } else {
      usage(("unexpected argument '" + std::string(arg) + "'").c_str());
    }
  }
  if (path.empty()) usage("no pedigree file");

  std::vector<Row> rows;
  const Clock::time_point start = Clock::now();
  try {
    run(path, fn, output, until, again, rows);
  } catch (const UntilReached&) {
  } catch (const Kept& kept) {
    inbreed_again(kept.pedigree, again);
    return 0;
  } catch (const vm::Stop& stop) {
    std::fprintf(stderr, "velmora_stages: the run stopped: %s\n", stop.message.c_str());
    return 1;
  } catch (const vm::FatalExit& fatal) {
    std::fprintf(stderr, "velmora_stages: fatal end %d: %s\n", fatal.code, fatal.message.c_str());
    return 1;
  } catch (const vm::FileError& error) {
    std::fprintf(stderr, "velmora_stages: %s\n", error.message.c_str());
    return 2;
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();

  std::printf("%-20s %10s %8s %12s %10s\n", "stage", "seconds", "share", "peak MB", "CPU s");
  for (const Row& row : rows)
    std::printf("%-20s %10.3f %7.1f%% %12.1f %10.3f\n", row.stage.c_str(), row.seconds,
                total > 0 ? 100.0 * row.seconds / total : 0.0, static_cast<double>(row.peak_kb) * 1024.0 / 1e6,
                row.cpu_seconds);
  std::printf("%-20s %10.3f %7.1f%% %12.1f %10.3f\n", "total", total, 100.0,
              static_cast<double>(peak_rss_kb()) * 1024.0 / 1e6, cpu_seconds());
  return 0;
}
