// Whatever the user gives: every run ends with the exact result, one of the
// program's own stops, or one error line that names the file and the line,
// and never with a crash, a hang or a result that only looks right. Each
// case runs the program as a process in a scratch folder.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/sink.h"
#include "driver/run.h"
#include "input/record_reader.h"
#include "input/scan.h"

#include "program_files.h"

namespace {

namespace fs = std::filesystem;
using velmora_test::kBanner;
using velmora_test::read_file;
using velmora_test::without_warnings;
using velmora_test::write_file;

const char* const kStages =
    " Allocating memory ...\n"
    " Reading animals ...\n"
    "  Reading pedigree ...\n"
    "  Assigning generation numbers ...\n";


bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t lines_of(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// A free-format integer: right-aligned in 12 columns.
std::string num(long long v) {
  std::string s = std::to_string(v);
  return std::string(s.size() < 12 ? 12 - s.size() : 0, ' ') + s;
}

// An echo line of the first ten records.
std::string echo(int k, const std::vector<std::string>& f) {
  auto pad = [](const std::string& s) { return s + std::string(25 - s.size(), ' '); };
  std::string line = std::string(" RECORD ") + (k < 10 ? " " : "") + std::to_string(k) + ": \"";
  for (size_t i = 0; i < f.size(); ++i) line += pad(f[i]) + (i + 1 < f.size() ? "\", \"" : "\"\n");
  return line;
}

using velmora_test::Result;

// Six founders in two populations and their four offspring: ten records.
const char* const kPedigree =
    "F1 0 0 PA Y1\nF2 0 0 PA Y1\nF3 0 0 PA Y1\nF4 0 0 PB Y1\nF5 0 0 PB Y1\nF6 0 0 PB Y1\n"
    "A1 F1 F2 PA Y2\nA2 F1 F3 PA Y2\nB1 F4 F5 PB Y2\nB2 F4 F6 PB Y2\n";

class Hardening : public velmora_test::ProgramRun {
 protected:
  // Writes the pedigree and a parameter file naming it, out.txt and
  // log.txt (removing those of an earlier run), and runs.
  Result run_pedigree(const std::string& text, const std::string& numbers = "1\n2\n3\n4\n5\n") {
    write("ped.txt", text);
    return run_parameters("ped.txt\n" + numbers + "out.txt\nlog.txt\n");
  }
  Result run_parameters(const std::string& params) {
    fs::remove(dir_ / "out.txt");
    fs::remove(dir_ / "log.txt");
    write("params.txt", params);
    return run("params.txt");
  }
  // The screen after the banner.
  static std::string screen(const Result& r) {
    const std::string banner(kBanner);
    EXPECT_EQ(r.out.substr(0, banner.size()), banner);
    return r.out.size() >= banner.size() ? r.out.substr(banner.size()) : r.out;
  }
  // A file error: exit status 2, one line on the error stream that names
  // the file and holds `detail`.
  static void expect_file_error(const Result& r, const std::string& file, const std::string& detail) {
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(lines_of(without_warnings(r.err)), 1u) << r.err;
    EXPECT_TRUE(contains(r.err, "\"" + file + "\"")) << r.err;
    EXPECT_TRUE(contains(r.err, detail)) << r.err;
    EXPECT_FALSE(ends_with(r.out, "\nFinished.\n"));
  }
  static void expect_finished(const Result& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(without_warnings(r.err), "");
    EXPECT_TRUE(ends_with(r.out, "\nFinished.\n")) << r.out;
  }
};

// ---------------------------------------------------------------------------
// Too few records

TEST_F(Hardening, EmptyFileHasOneFieldAndTooFewRecords) {
  // One field: the field numbers 2 to 5 lie outside it.
  Result r = run_pedigree("");
  EXPECT_EQ(r.status, 0);
  const std::string error = "  ERROR: Field number outside the fields of the pedigree file: " + num(2) + "\n";
  EXPECT_EQ(screen(r), error + "Program has terminated\n");
  EXPECT_EQ(read("log.txt"), "  Number of fields in pedigree file " + num(1) + "\n" + error);
  EXPECT_FALSE(exists("out.txt"));

  // With every field number 1 the echo meets the end at once.
  r = run_pedigree("", "1\n1\n1\n1\n1\n");
  expect_file_error(r, "ped.txt", "ends after line 0, before record 1");
  EXPECT_EQ(screen(r), "");
  EXPECT_EQ(read("log.txt"), "  Number of fields in pedigree file " + num(1) + "\n\n  First 10 records pedigree file: \n");
  EXPECT_EQ(read("out.txt"), "");
}

TEST_F(Hardening, OneLineAndNineRecordsEndAfterTheirEcho) {
  Result r = run_pedigree("A 0 0 P Y\n");
  expect_file_error(r, "ped.txt", "ends after line 1, before record 2");
  EXPECT_TRUE(ends_with(read("log.txt"), echo(1, {"A", "0", "0", "P", "Y"})));
  EXPECT_EQ(read("out.txt"), "");

  std::string nine(kPedigree);
  nine.erase(nine.rfind("B2"));
  r = run_pedigree(nine);
  expect_file_error(r, "ped.txt", "ends after line 9, before record 10");
  const std::string log = read("log.txt");
  EXPECT_TRUE(ends_with(log, echo(9, {"B1", "F4", "F5", "PB", "Y2"}))) << log;
  EXPECT_EQ(screen(r), "");

  // A last record that lacks fields runs into the end of the file.
  r = run_pedigree(nine + "B2 F4 F6\n");
  expect_file_error(r, "ped.txt", "ends after line 10, before record 10");
}

// ---------------------------------------------------------------------------
// Bytes that are no text

TEST_F(Hardening, BinaryGarbageEndsCleanly) {
  std::mt19937 rng(5);
  for (int round = 0; round < 12; ++round) {
    std::string text(1000 + rng() % 3000, '\0');
    for (char& c : text) {
      // Some rounds mostly separators and line ends, so that records form.
      const unsigned v = rng() % 256;
      c = round % 2 == 0 ? static_cast<char>(v) : " \t,\n'\"/*0-ab12"[v % 14];
    }
    Result r = run_pedigree(text);
    ASSERT_NE(r.status, -1) << "round " << round;
    if (r.status == 0) {
      EXPECT_TRUE(ends_with(r.out, "\nFinished.\n") || ends_with(r.out, "\nProgram has terminated\n") ||
                  ends_with(r.out, "Unit " + num(11) + "\n"))
          << "round " << round << ": " << r.out;
      EXPECT_EQ(r.err, "");
    } else {
      // A file error, or the code table's exit report.
      EXPECT_NE(r.err, "") << "round " << round;
      EXPECT_FALSE(contains(r.out, "Finished.")) << "round " << round;
    }
  }
}

TEST_F(Hardening, NulBytesAreCharactersOfTheirCode) {
  std::string text(kPedigree);
  text.replace(text.find("F1 0 0 PA"), 2, std::string("F\0" "1", 3));
  text.replace(text.rfind("PB"), 2, std::string("P\0B", 3));  // B2's population
  Result r = run_pedigree(text);
  expect_finished(r);
  const std::string log = read("log.txt");
  EXPECT_TRUE(contains(log, echo(1, {std::string("F\0" "1", 3), "0", "0", "PA", "Y1"})));
  // F1 is now a parent without a record of its own.
  EXPECT_TRUE(contains(log, "  Animal: A1: Sire not found: F1\n"));
  EXPECT_TRUE(contains(log, "  Number of populations read: " + num(3) + "\n"));
  EXPECT_TRUE(contains(read("out.txt"), std::string(" Pair of populations :PB & P\0B", 30)));
}

// ---------------------------------------------------------------------------
// Long lines

TEST_F(Hardening, FirstLineOf100MegabytesIsStreamed) {
  std::string line;
  line.reserve(100u << 20);
  for (int i = 0; line.size() < (100u << 20); ++i) line += "C" + std::to_string(i) + " ";
  // Only the first 5000 characters are counted: 1019 fields, which the one
  // line fills; the second record finds the end of the file.
  Result r = run_pedigree(line);
  expect_file_error(r, "ped.txt", "ends after line 1, before record 2");
  EXPECT_TRUE(contains(read("log.txt"), "  Number of fields in pedigree file " + num(1019) + "\n"));
}

TEST_F(Hardening, LastLineOf100MegabytesGivesItsFirstFields) {
  std::string text(kPedigree);
  text += "X1 F1 F2 PA Y2";
  std::string rest;
  rest.reserve(100u << 20);
  for (int i = 0; rest.size() < (100u << 20); ++i) rest += " Z" + std::to_string(i);
  Result r = run_pedigree(text + rest);  // and no line end
  expect_finished(r);
  EXPECT_TRUE(contains(read("log.txt"), "  Number of animals read: " + num(11) + "\n"));
  EXPECT_FALSE(contains(read("log.txt"), "Z1"));
}

// Runs velmora on params.txt in the scratch folder as a child process whose
// address space is limited to `limit_mb` (not under AddressSanitizer, whose
// shadow memory needs far more); returns its exit status and sets the
// child's peak resident memory in MB.
int run_limited(const fs::path& dir, long limit_mb, long& peak_mb) {
  const pid_t child = ::fork();
  if (child == 0) {
#ifndef __SANITIZE_ADDRESS__
    const rlimit limit{static_cast<rlim_t>(limit_mb) << 20, static_cast<rlim_t>(limit_mb) << 20};
    ::setrlimit(RLIMIT_AS, &limit);
#else
    (void)limit_mb;
#endif
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    for (auto [fd, name, flags] : {std::tuple{0, "/dev/null", O_RDONLY}, std::tuple{1, "stdout.txt", O_WRONLY | O_CREAT | O_TRUNC},
                                   std::tuple{2, "stderr.txt", O_WRONLY | O_CREAT | O_TRUNC}}) {
      const int opened = ::open(name, flags, 0644);
      if (opened < 0 || ::dup2(opened, fd) < 0) ::_exit(126);
    }
    ::execl(VELMORA_BINARY, VELMORA_BINARY, "params.txt", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int raw = 0;
  rusage usage{};
  ::wait4(child, &raw, 0, &usage);
  peak_mb = usage.ru_maxrss / 1024;
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// A line of a gigabyte (a sparse file, all NUL bytes) after a record's
// fields is passed over, and one of 40 MB that is a record's last value is
// squeezed: the same records as from short lines, in bounded memory.
TEST_F(Hardening, GigabyteLinesInBoundedMemory) {
  const fs::path ped = path("ped.txt");
  write("ped.txt", std::string(kPedigree) + "X1 F1 F2 PA Y2 ");
  fs::resize_file(ped, fs::file_size(ped) + (size_t{1} << 30));
  std::ofstream(ped, std::ios::app) << "\nX2 F1 F2 PB " << std::string(size_t{40} << 20, 'Q') << "\n";
  write("params.txt", "ped.txt\n1\n2\n3\n4\n5\nout.txt\nlog.txt\n");
  long peak_mb = 0;
  EXPECT_EQ(run_limited(dir_, 600, peak_mb), 0) << read("stderr.txt");
  EXPECT_TRUE(ends_with(read("stdout.txt"), "\nFinished.\n"));
  // The child's peak counts the test process it was forked from; only a
  // peak above that one is the program's own.
  rusage self{};
  ::getrusage(RUSAGE_SELF, &self);
  if (peak_mb > self.ru_maxrss / 1024) {
    EXPECT_LT(peak_mb, 150);
  }

  // The same results as with the long stretches cut short.
  const std::string out = read("out.txt"), log = read("log.txt");
  run_pedigree(std::string(kPedigree) + "X1 F1 F2 PA Y2\nX2 F1 F2 PB " + std::string(25, 'Q') + "\n");
  EXPECT_EQ(read("out.txt"), out);
  EXPECT_EQ(read("log.txt"), log);
}

TEST_F(Hardening, FirstLineLongerThan5000Characters) {
  // A value past position 5000 is not counted, and the record read skips it
  // with the rest of the line.
  std::string text(kPedigree);
  text.insert(text.find('\n'), std::string(6000, ' ') + "EXTRA");
  Result r = run_pedigree(text);
  expect_finished(r);
  EXPECT_TRUE(contains(read("log.txt"), "  Number of fields in pedigree file " + num(5) + "\n"));

  // A too-long last field that runs past position 5000: the message shows
  // the first 5000 characters, and the run goes on with 25 of them.
  text = kPedigree;
  const std::string first = "F1 0 0 PA " + std::string(6000, 'Y');
  text.replace(0, text.find('\n'), first);
  r = run_pedigree(text);
  EXPECT_EQ(r.status, 0);
  const std::string message = " Field length longer than current maximum of " + num(25) + "DATA record " +
                              first.substr(0, 5000) + "Unit " + num(11) + "\n";
  EXPECT_EQ(screen(r).substr(0, message.size()), message);
  expect_finished(r);
  EXPECT_TRUE(contains(read("out.txt"), "\n" + std::string(15, 'Y') + "|"));
}

// Values of 25 and 26 characters as the first, a middle and the last field
// of the first line; in later lines every value keeps 25 characters.
TEST_F(Hardening, FieldsOf25And26Characters) {
  const std::string c25(25, 'c'), c26 = std::string(25, 'c') + "d";
  auto with_first_line = [](const std::string& line) {
    std::string text(kPedigree);
    text.replace(0, text.find('\n'), line);
    return text;
  };
  for (const std::string& line : {c25 + " 0 0 PA Y1", "F1 0 " + c25 + " PA Y1", "F1 0 0 PA " + c25}) {
    Result r = run_pedigree(with_first_line(line));
    expect_finished(r);
    EXPECT_FALSE(contains(r.out, "Field length")) << line;
    EXPECT_TRUE(contains(read("log.txt"), c25 + "\"")) << line;
  }

  // First field: not tested; kept as its first 25 characters.
  Result r = run_pedigree(with_first_line(c26 + " 0 0 PA Y1"));
  expect_finished(r);
  EXPECT_FALSE(contains(r.out, "Field length"));
  EXPECT_TRUE(contains(read("log.txt"), echo(1, {c25, "0", "0", "PA", "Y1"})));

  // A middle field: the message up to the separator after it, and a plain
  // stop before anything is logged.
  r = run_pedigree(with_first_line("F1 0 " + c26 + " PA Y1"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(screen(r), " Field length longer than current maximum of " + num(25) + "DATA record F1 0 " + c26 +
                           " Unit " + num(11) + "\n");
  EXPECT_EQ(read("log.txt"), "");
  EXPECT_FALSE(exists("out.txt"));

  // The last field: the message, and the run goes on with 25 characters.
  r = run_pedigree(with_first_line("F1 0 0 PA " + c26));
  EXPECT_TRUE(contains(r.out, " Field length longer than current maximum of " + num(25) + "DATA record F1 0 0 PA " +
                                  c26 + " Unit " + num(11) + "\n"));
  expect_finished(r);
  EXPECT_TRUE(contains(read("log.txt"), echo(1, {"F1", "0", "0", "PA", c25})));

  // Later lines: two animal codes alike in their first 25 characters are
  // one animal.
  r = run_pedigree(std::string(kPedigree) + c25 + "x 0 0 PA Y2\n" + c25 + "y 0 0 PA Y2\n");
  expect_finished(r);
  EXPECT_TRUE(contains(read("log.txt"), "  WARNING: Animal appears in list more than once! " + c25 + " - ignored.\n"));
}

// ---------------------------------------------------------------------------
// Free-format records

TEST_F(Hardening, UnterminatedQuote) {
  // Among the first ten records: the line where the quote opens.
  std::string text(kPedigree);
  text.replace(text.find("F4 0 0"), 2, "'F4");
  Result r = run_pedigree(text);
  expect_file_error(r, "ped.txt", "line 4: cannot read record 4: a quoted value is not closed");
  EXPECT_TRUE(ends_with(read("log.txt"), echo(3, {"F3", "0", "0", "PA", "Y1"})));

  // After them too: the records after it would be lost without a word.
  r = run_pedigree(std::string(kPedigree) + "C1 'F1 0 PA Y2\nC2 F1 F2 PA Y2\n");
  expect_file_error(r, "ped.txt", "line 11: cannot read record 11: a quoted value is not closed");
  EXPECT_FALSE(contains(read("log.txt"), "Number of animals read"));
  EXPECT_EQ(read("out.txt"), "");
}

TEST_F(Hardening, LastRecordCutShort) {
  // A last line with fewer values than the first, and nothing after it to
  // complete the record: no silent loss of the record.
  Result r = run_pedigree(std::string(kPedigree) + "C1 F1 F2\n\n");
  expect_file_error(r, "ped.txt", "line 12: cannot read record 11: the file ends inside a record");
  // Blank lines at the end are no record.
  r = run_pedigree(std::string(kPedigree) + "\n  \n");
  expect_finished(r);
}

TEST_F(Hardening, RepeatCounts) {
  for (const char* count : {"0", "2147483648", "99999999999"}) {
    std::string text(kPedigree);
    text.replace(text.find("F1 F2 PA"), 2, std::string(count) + "*F1");
    Result r = run_pedigree(text);
    expect_file_error(r, "ped.txt", "line 7: cannot read record 7: a repeat count");
    EXPECT_TRUE(ends_with(read("log.txt"), echo(6, {"F6", "0", "0", "PB", "Y1"}))) << count;
  }
  // The largest count fills what is left of the record.
  std::string text(kPedigree);
  text += "C1 2*0 PA Y2\nC2 2147483647*Z\n";
  Result r = run_pedigree(text);
  expect_finished(r);
  EXPECT_TRUE(contains(read("log.txt"), "  Number of populations read: " + num(3) + "\n"));
  EXPECT_TRUE(contains(read("log.txt"), "  Animal: C2: Sire not found: Z\n"));
  EXPECT_TRUE(contains(read("out.txt"), " Pair of populations :Z & PB"));
}

TEST_F(Hardening, Slashes) {
  // After a complete record a slash is part of the skipped rest.
  Result r = run_pedigree(std::string(kPedigree) + "C1 F1 F2 PA Y2 / more\n");
  expect_finished(r);
  EXPECT_TRUE(contains(read("log.txt"), "  Number of animals read: " + num(11) + "\n"));

  // Before the population: the echo shows the previous record's fields,
  // the collecting pass finds no population code.
  std::string text(kPedigree);
  text.replace(text.find("A2 F1 F3 PA Y2"), 14, "A2 F1 /");
  r = run_pedigree(text);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(read("log.txt"), echo(8, {"A2", "F1", "F2", "PA", "Y2"})));
  const std::string error = "  ERROR: No population or period code in record " + num(8) + "\n";
  EXPECT_EQ(screen(r), " Allocating memory ...\n" + error + "Program has terminated\n");
  EXPECT_TRUE(ends_with(read("log.txt"), error));
  EXPECT_EQ(read("out.txt"), "");
}

// The records are counted before any is judged: a record without a
// population code ends the run only after the whole file has been read,
// and an unreadable record after it is the error reported.
TEST_F(Hardening, MissingPopulationIsJudgedAfterTheCount) {
  std::string text(kPedigree);
  text.replace(text.find("A2 F1 F3 PA Y2"), 14, "A2 F1 F3 /");
  Result r = run_pedigree(text + "C1 F1 F2 PA Y2\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(read("log.txt"), "  Number of animals read: " + num(11) + "\n"));
  EXPECT_TRUE(ends_with(read("log.txt"), "  ERROR: No population or period code in record " + num(8) + "\n"));

  r = run_pedigree(text + "C1 'F1 0 PA Y2\n");
  expect_file_error(r, "ped.txt", "line 11: cannot read record 11: a quoted value is not closed");
  EXPECT_FALSE(contains(read("log.txt"), "No population"));
}

TEST_F(Hardening, FewerFieldsContinueMoreFieldsAreIgnored) {
  std::string text(kPedigree);
  text.replace(text.find("A1 F1 F2 PA Y2"), 14, "A1 F1\nF2 PA\nY2 extra values");
  text.replace(text.find("B1 F4 F5 PB Y2"), 14, "B1 F4 F5 PB Y2 X Y Z");
  Result r = run_pedigree(text);
  expect_finished(r);
  std::string same = run_pedigree(kPedigree).out;
  const std::string log = read("log.txt"), out = read("out.txt");
  r = run_pedigree(text);
  EXPECT_EQ(r.out, same);
  EXPECT_EQ(read("log.txt"), log);
  EXPECT_EQ(read("out.txt"), out);
}

TEST_F(Hardening, LineEnds) {
  Result r = run_pedigree(kPedigree);
  expect_finished(r);
  const std::string log = read("log.txt"), out = read("out.txt");

  std::string no_last_end(kPedigree);
  no_last_end.pop_back();
  std::string crlf, mixed;
  int line = 0;
  for (char c : std::string(kPedigree)) {
    if (c == '\n') {
      crlf += "\r\n";
      mixed += line++ % 2 == 0 ? "\r\n" : "\n";
    } else {
      crlf += c;
      mixed += c;
    }
  }
  crlf.erase(crlf.size() - 2);  // and a last line without its end
  for (const std::string& text : {no_last_end, crlf, mixed}) {
    r = run_pedigree(text);
    expect_finished(r);
    EXPECT_EQ(read("log.txt"), log);
    EXPECT_EQ(read("out.txt"), out);
  }
}

// ---------------------------------------------------------------------------
// Parameters

TEST_F(Hardening, FieldNumbersOutsideTheFields) {
  for (const auto& [numbers, bad] : {std::pair<std::string, int>{"0\n2\n3\n4\n5\n", 0}, {"1\n0\n3\n4\n5\n", 0},
                                     {"1\n2\n-1\n4\n5\n", -1}, {"1\n2\n3\n-1\n5\n", -1}, {"1\n2\n3\n4\n6\n", 6}}) {
    Result r = run_pedigree(kPedigree, numbers);
    const std::string error = "  ERROR: Field number outside the fields of the pedigree file: " + num(bad) + "\n";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(screen(r), error + "Program has terminated\n") << numbers;
    EXPECT_EQ(read("log.txt"), "  Number of fields in pedigree file " + num(5) + "\n" + error);
    EXPECT_FALSE(exists("out.txt"));
  }
}

TEST_F(Hardening, ParameterFileDefects) {
  write("ped.txt", kPedigree);
  for (const std::string& params :
       {std::string("ped.txt\n1\nsire\n3\n4\n5\nout.txt\nlog.txt\n"), std::string("ped.txt\n1\n2\n3.5\n4\n5\nout.txt\nlog.txt\n"),
        std::string("ped.txt\n1\n2\n3\n4\n2147483648\nout.txt\nlog.txt\n"), std::string("ped.txt\n1\n2\n")}) {
    Result r = run_parameters(params);
    expect_file_error(r, "params.txt", "params.txt");
    EXPECT_EQ(screen(r), "");
    EXPECT_FALSE(exists("log.txt"));
    EXPECT_FALSE(exists("out.txt"));
  }
  // A parameter file that is missing or a folder.
  fs::create_directories(path("folder"));
  for (const std::string name : {"missing.txt", "folder"}) {
    Result r = run("'" + name + "'");
    expect_file_error(r, name, name);
    EXPECT_EQ(screen(r), "");
  }
  Result r = run_parameters("ped.txt\n1\n2\n3\n4\n5\nout.txt\nlog.txt\n");
  expect_finished(r);
}

TEST_F(Hardening, PedigreeThatIsAFolderOrMissing) {
  fs::create_directories(path("folder"));
  for (const std::string name : {"folder", "missing.txt"}) {
    Result r = run_parameters(name + "\n1\n2\n3\n4\n5\nout.txt\nlog.txt\n");
    expect_file_error(r, name, name);
    EXPECT_EQ(read("log.txt"), "");
    EXPECT_FALSE(exists("out.txt"));
  }
}

// The log and output must never be an input or each other, however the
// names are written; nothing is created when they are.
TEST_F(Hardening, SameFileAfterResolvingTheFolders) {
  write("ped.txt", kPedigree);
  fs::create_directories(path("sub"));
  fs::create_symlink("new.txt", path("dangling"));
  for (const char* names : {"./out.txt\nout.txt\n", "out.txt\nsub/../out.txt\n", "sub/../ped.txt\nlog.txt\n",
                            "out.txt\n./params.txt\n", "dangling\nnew.txt\n", "sub/x.txt\n./sub/./x.txt\n"}) {
    Result r = run_parameters(std::string("ped.txt\n1\n2\n3\n4\n5\n") + names);
    EXPECT_EQ(r.status, 2) << names;
    EXPECT_EQ(lines_of(r.err), 1u) << r.err;
    EXPECT_FALSE(exists("out.txt"));
    EXPECT_FALSE(exists("log.txt"));
    EXPECT_FALSE(exists("new.txt"));
    EXPECT_FALSE(exists("sub/x.txt"));
    EXPECT_EQ(read("ped.txt"), kPedigree);
  }
  // Other folders, other files.
  Result r = run_parameters("ped.txt\n1\n2\n3\n4\n5\nsub/out.txt\nout.txt\n");
  expect_finished(r);
}

// Codes that crowd the code table: its warning goes to the message file
// fort.9, which is created only then and under that fixed name.
std::string crowding_pedigree() {
  std::string text;
  for (const char* w : {"W1", "W4", "W8", "W11", "W14", "W17", "W20", "W23", "W26", "W32", "W35", "W38", "W39"})
    text += std::string(w) + " 0 0 Z Z\n";
  for (int u = 0; u <= 18; ++u) text += "U" + std::to_string(u) + " 0 0 Z Z\n";
  return text;
}

TEST_F(Hardening, MessageFileNeverOverwritesTheRunsFiles) {
  Result r = run_pedigree(crowding_pedigree());
  expect_finished(r);
  EXPECT_TRUE(contains(read("fort.9"), " this happens with CASE W17"));
  fs::remove(path("fort.9"));

  // The pedigree, the log or the output named fort.9: the run ends when the
  // message would be written, and the pedigree is untouched.
  write("fort.9", crowding_pedigree());
  r = run_parameters("fort.9\n1\n2\n3\n4\n5\nout.txt\nlog.txt\n");
  expect_file_error(r, "fort.9", "refusing to overwrite it");
  EXPECT_EQ(read("fort.9"), crowding_pedigree());
  fs::remove(path("fort.9"));

  write("ped.txt", crowding_pedigree());
  for (const char* names : {"out.txt\n./fort.9\n", "fort.9\nlog.txt\n"}) {
    r = run_parameters(std::string("ped.txt\n1\n2\n3\n4\n5\n") + names);
    expect_file_error(r, "fort.9", "refusing to overwrite it");
    fs::remove(path("fort.9"));
  }
}

// A message file that cannot be created (a folder of that name, a folder
// where nothing can be created) ends the run when its first line comes.
TEST_F(Hardening, MessageFileThatCannotBeCreated) {
  write("ped.txt", crowding_pedigree());
  fs::create_directories(path("fort.9"));
  Result r = run_parameters("ped.txt\n1\n2\n3\n4\n5\nout.txt\nlog.txt\n");
  expect_file_error(r, "fort.9", "cannot create message file \"fort.9\": Is a directory");
  EXPECT_EQ(read("out.txt"), "");

  // /proc takes no new files, whoever runs the program. The files are
  // named through a short link, as file names keep 50 characters.
  const std::string short_dir = "/tmp/vm_" + std::to_string(::getpid());
  fs::remove(short_dir);
  fs::create_directory_symlink(dir_, short_dir);
  write("params.txt", short_dir + "/ped.txt\n1\n2\n3\n4\n5\n" + short_dir + "/out.txt\n" + short_dir + "/log.txt\n");
  r = run("'" + short_dir + "/params.txt'", "", "/proc");
  fs::remove(short_dir);
  expect_file_error(r, "fort.9", "cannot create message file \"fort.9\"");
  EXPECT_EQ(read("out.txt"), "");
}

// ---------------------------------------------------------------------------
// Written files and the file system

// An output or log named by one of the program's own descriptors, or a
// link to such a name, is opened without emptying it and compared with
// the open pedigree and parameter files: nothing is written over them.
TEST_F(Hardening, DescriptorNamesNeverEmptyThePedigree) {
  write("ped.txt", kPedigree);
  bool output_refused = false, log_refused = false;
  for (const std::string folder : {"/proc/self/fd/", "/dev/fd/"}) {
    for (int fd = 3; fd <= 9; ++fd) {
      const std::string name = folder + std::to_string(fd);
      fs::remove(path("link"));
      fs::create_symlink(name, path("link"));
      for (const std::string& target : {name, std::string("link")}) {
        for (const bool as_output : {true, false}) {
          const std::string files = as_output ? target + "\nlog.txt\n" : "out.txt\n" + target + "\n";
          Result r = run_parameters("ped.txt\n1\n2\n3\n4\n5\n" + files);
          EXPECT_EQ(r.status, 2) << files;
          EXPECT_EQ(lines_of(r.err), 1u) << r.err;
          EXPECT_EQ(read("ped.txt"), kPedigree) << files;
          EXPECT_EQ(read("params.txt"), "ped.txt\n1\n2\n3\n4\n5\n" + files);
          const bool refused = contains(r.err, "is the pedigree file \"ped.txt\"; refusing to overwrite it");
          (as_output ? output_refused : log_refused) |= refused;
        }
      }
    }
  }
  EXPECT_TRUE(output_refused);
  EXPECT_TRUE(log_refused);

  // The result files of the option interface, which replace their file at
  // the end of the run.
  for (const char* option : {"--csv", "--inbreeding"}) {
    for (int fd = 3; fd <= 9; ++fd) {
      const std::string args = std::string("--pedigree ped.txt --output out.txt --log log.txt ") + option +
                               " /dev/fd/" + std::to_string(fd);
      Result r = run(args);
      EXPECT_EQ(read("ped.txt"), kPedigree) << args;
      EXPECT_EQ(r.status, 2) << args;
    }
  }

  // A hard link is the same file too.
  fs::create_hard_link(path("ped.txt"), path("hard.txt"));
  Result r = run_parameters("ped.txt\n1\n2\n3\n4\n5\nhard.txt\nlog.txt\n");
  expect_file_error(r, "hard.txt", "refusing to overwrite it");
  EXPECT_EQ(read("ped.txt"), kPedigree);
}

std::string counted_pedigree(int records = 2000);

// A pedigree of 50 populations in 35 periods: a result table of 4 MB.
std::string wide_pedigree() {
  std::string text;
  for (int period = 0; period < 35; ++period) {
    for (int pop = 0; pop < 50; ++pop) {
      text += "A" + std::to_string(period) + "_" + std::to_string(pop) + " 0 0 P" + std::to_string(pop) + " Y" +
              std::to_string(1990 + period) + "\n";
    }
  }
  return text;
}

// Of two runs on one output, the output holds one whole table.
TEST_F(Hardening, ConcurrentRunsLeaveOneWholeTable) {
  // The long run writes a short table, the short run a long one: a table
  // written over another in place would leave the tail of the longer one.
  write("long.txt", counted_pedigree(120000));
  write("wide.txt", wide_pedigree());
  std::string tables[2];
  for (int i = 0; i < 2; ++i) {
    const std::string name = i == 0 ? "long" : "wide";
    write(name + ".par", name + ".txt\n1\n2\n3\n4\n5\n" + name + ".out\n" + name + ".log\n");
    expect_finished(run(name + ".par"));
    tables[i] = read(name + ".out");
    write(name + ".par", name + ".txt\n1\n2\n3\n4\n5\nout.txt\n" + name + ".log\n");
  }
  ASSERT_LT(tables[0].size(), tables[1].size());
  const std::string cmd = "cd '" + dir_.string() + "' && { '" + VELMORA_BINARY + "' long.par >long.screen & '" +
                          VELMORA_BINARY + "' wide.par >wide.screen & wait; }";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_TRUE(ends_with(read("long.screen"), "\nFinished.\n"));
  EXPECT_TRUE(ends_with(read("wide.screen"), "\nFinished.\n"));
  const std::string out = read("out.txt");
  EXPECT_TRUE(out == tables[0] || out == tables[1]) << out.size() << " bytes";
}

// A run killed while it writes its table leaves an empty output, never a
// part of a table.
TEST_F(Hardening, RunKilledMidTableLeavesNoPartOfIt) {
  write("ped.txt", wide_pedigree());
  write("params.txt", "ped.txt\n1\n2\n3\n4\n5\nout.txt\nlog.txt\n");
  expect_finished(run("params.txt"));
  const std::string table = read("out.txt");
  int killed_mid_table = 0;
  for (int attempt = 0; attempt < 20 && killed_mid_table < 2; ++attempt) {
    fs::remove(path("out.txt"));
    const pid_t child = ::fork();
    if (child == 0) {
      if (::chdir(dir_.c_str()) != 0) ::_exit(126);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0), ::dup2(null, 1), ::dup2(null, 2);
      ::execl(VELMORA_BINARY, VELMORA_BINARY, "params.txt", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Killed as soon as a part of the table shows, in the output or in a
    // file beside it.
    bool killed = false;
    for (int raw = 0; !killed && ::waitpid(child, &raw, WNOHANG) == 0;) {
      for (const fs::directory_entry& e : fs::directory_iterator(dir_)) {
        std::error_code ec;
        const std::string name = e.path().filename().string();
        if ((name == "out.txt" || name.starts_with(".out.txt")) && fs::file_size(e.path(), ec) > 0 && !ec) {
          ::kill(child, SIGKILL);
          ::waitpid(child, &raw, 0);
          killed = true;
          break;
        }
      }
    }
    if (!killed) continue;
    ++killed_mid_table;
    const std::string out = read("out.txt");
    EXPECT_TRUE(out.empty() || out == table) << out.size() << " bytes of " << table.size();
  }
  EXPECT_GT(killed_mid_table, 0);
}

// Beyond a file-size limit (ulimit -f) the write fails like any other:
// an error line naming the file, no "Finished.", no silent death.
TEST_F(Hardening, FileSizeLimitIsAWriteError) {
  std::string text(kPedigree);
  for (int k = 1; k <= 1000; ++k) text += "C" + std::to_string(k) + " S" + std::to_string(k) + " F1 PA Y2\n";
  write("ped.txt", text);  // 1000 sires without a record: a log of 40 kB
  write("params.txt", "ped.txt\n1\n2\n3\n4\n5\nout.txt\nlog.txt\n");
  Result r = run("params.txt", "", {}, "bash -c 'ulimit -f 16 && exec \"$0\" \"$@\"'");
  expect_file_error(r, "log.txt", "File too large");
  EXPECT_EQ(read("out.txt"), "");
}

// ---------------------------------------------------------------------------
// Pedigrees that make no sense

TEST_F(Hardening, DuplicateAnimalWithOtherParents) {
  Result r = run_pedigree(std::string(kPedigree) + "A1 F2 F3 PB Y1\n");
  expect_finished(r);
  const std::string log = read("log.txt"), out = read("out.txt");
  EXPECT_TRUE(contains(log, "  WARNING: Animal appears in list more than once! A1 - ignored.\n"));
  // The first record stands: the same results as without the second.
  run_pedigree(kPedigree);
  EXPECT_EQ(read("out.txt"), out);
}

TEST_F(Hardening, AnimalThatIsItsOwnParent) {
  std::string text(kPedigree);
  text.replace(text.find("A1 F1 F2"), 8, "A1 A1 F2");
  Result r = run_pedigree(text);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(screen(r), std::string(kStages) + "\n  ERROR: Generation without animals\nProgram has terminated\n");
  EXPECT_TRUE(ends_with(read("log.txt"),
                        "  ERROR: Generation without animals\n"
                        "  Possibly a non-unique number exists in the pedigree. Check the following animals:\n"
                        " A1 A1 F2 " + num(4) + "\n"));
  EXPECT_EQ(read("out.txt"), "");
}

TEST_F(Hardening, LoopsWithAndWithoutFounderDescent) {
  // A1 -> A2 -> A3 -> A1, A1's dam a founder.
  std::string text(kPedigree);
  text += "L1 L3 F1 PA Y2\nL2 L1 0 PA Y2\nL3 L2 0 PA Y2\n";
  Result r = run_pedigree(text);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(screen(r), std::string(kStages) + "\n  ERROR: Generation without animals\nProgram has terminated\n");
  EXPECT_TRUE(contains(read("log.txt"), "Check the following animals:\n L1 L3 F1 "));
  EXPECT_EQ(read("out.txt"), "");

  // Two animals that are each other's sire, no founder above them, and an
  // offspring of theirs.
  text = kPedigree;
  text += "M1 M2 0 PA Y2\nM2 M1 0 PA Y2\nM3 M1 F2 PA Y2\n";
  r = run_pedigree(text);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(screen(r),
            std::string(kStages) + "\n  ERROR: Loop in pedigree: animals without generation\nProgram has terminated\n");
  EXPECT_TRUE(ends_with(read("log.txt"),
                        "  ERROR: Loop in pedigree: animals without generation\n"
                        "  Possibly a non-unique number exists in the pedigree. Check the following animals:\n"
                        " M1 M2 0 " + num(0) + "\n M2 M1 0 " + num(0) + "\n"));
  EXPECT_EQ(read("out.txt"), "");
}

TEST_F(Hardening, HundredAndFiftyGenerations) {
  std::string text(kPedigree);
  text += "G1 F1 F4 PA Y2\n";
  for (int g = 2; g <= 149; ++g) text += "G" + std::to_string(g) + " G" + std::to_string(g - 1) + " 0 PB Y2\n";
  Result r = run_pedigree(text);
  expect_finished(r);
  const std::string log = read("log.txt");
  EXPECT_TRUE(contains(log, "  Number of generations in pedigree is " + num(150) + "\n"));
  EXPECT_TRUE(contains(log, "  Generation " + num(150) + ": " + num(1) + " animals\n"));
  EXPECT_FALSE(contains(read("out.txt"), "*"));
}

TEST_F(Hardening, OnePopulationAndAPopulationOfOneAnimal) {
  std::string one;
  for (int k = 1; k <= 10; ++k) one += "A" + std::to_string(k) + " 0 0 P Y\n";
  Result r = run_pedigree(one);
  expect_finished(r);
  EXPECT_EQ(read("out.txt"), "");
  EXPECT_TRUE(ends_with(read("log.txt"), " Period: Y\nP      0.1000\n"));

  r = run_pedigree(one + "S1 A1 A2 Q Y\n");
  expect_finished(r);
  EXPECT_EQ(read("out.txt"),
            "\n  Pair of populations :Q & P                    \n\n"
            " Period        |  genetic drift |  max genetic   |   Population   |\n"
            "               |  var betw pops |  drift var     | Different Index|\n"
            "===================================================================\n"
            "Y              |       0.900000 |       1.100000 |          81.82 |\n\n\n");
}

TEST_F(Hardening, SixtyPopulationsGiveLongLogRows) {
  std::string text;
  for (int p = 1; p <= 60; ++p) {
    const std::string pop = "POP" + std::to_string(100 + p);
    text += "F" + std::to_string(p) + " 0 0 " + pop + " Y1\n";
    text += "G" + std::to_string(p) + " 0 0 " + pop + " Y1\n";
    text += "C" + std::to_string(p) + " F" + std::to_string(p) + " G" + std::to_string(p) + " " + pop + " Y2\n";
  }
  Result r = run_pedigree(text);
  expect_finished(r);
  const std::string log = read("log.txt"), out = read("out.txt");
  // The last row of a period: the name and 60 values of 12 columns.
  const size_t row = log.find("\nPOP160");
  ASSERT_NE(row, std::string::npos);
  EXPECT_EQ(log.find('\n', row + 1) - row - 1, 6u + 60u * 12u);
  // 23 lines before the periods; per period 60 counts, the heading, 60 rows.
  EXPECT_EQ(lines_of(log), 23u + 2u * (60u + 1u + 60u));
  // 1770 pair blocks of 2 rows, 10 lines each.
  EXPECT_EQ(lines_of(out), 1770u * 10u);
  EXPECT_FALSE(contains(out, "*"));
  EXPECT_FALSE(contains(out, "NaN"));
}

TEST_F(Hardening, PeriodWithoutAnimalsOfOnePopulation) {
  std::string text(kPedigree);
  text.replace(text.find("B1 F4 F5 PB Y2"), 14, "B1 F4 F5 PB Y3");
  text.replace(text.find("B2 F4 F6 PB Y2"), 14, "B2 F4 F6 PB Y3");
  Result r = run_pedigree(text);
  expect_finished(r);
  const std::string out = read("out.txt");
  EXPECT_TRUE(contains(out, "Y2             |       0.000000 |       0.000000 |           0.00 |\n")) << out;
  EXPECT_TRUE(contains(read("log.txt"), " Period: Y2\nPA      0.6250\n  Number"));
}

// ---------------------------------------------------------------------------
// Sizes

// A population field that holds a code per animal asks for results far
// beyond any memory: refused at once instead of paging the machine to a halt.
TEST_F(Hardening, ResultsThatCannotFitInMemory) {
  std::string text;
  for (int k = 1; k <= 4000; ++k) text += "A" + std::to_string(k) + " 0 0 A" + std::to_string(k) + " A" + std::to_string(k) + "\n";
  Result r = run_pedigree(text);
  expect_file_error(r, "ped.txt", "4000 populations and 4000 periods");
  EXPECT_EQ(read("out.txt"), "");
}

// ---------------------------------------------------------------------------
// A pedigree that fails or changes during the run

// Records in two populations and five periods; from the 21st on, the
// parents are earlier animals.
std::string counted_pedigree(int records) {
  std::string text;
  for (int k = 1; k <= records; ++k) {
    const std::string sire = k > 20 ? "A" + std::to_string(k * 7 % (k - 1) + 1) : "0";
    const std::string dam = k > 20 ? "A" + std::to_string(k * 13 % (k - 1) + 1) : "0";
    text += "A" + std::to_string(k) + " " + sire + " " + dam + " P" + std::to_string(k % 2) + " Y" +
            std::to_string(k * 5 / (records + 1)) + "\n";
  }
  return text;
}

struct PipelineRun {
  int status = -1;
  vm::StringSink screen, log, output, errors;
};

// The run on the pedigree file `path`, its reader prepared by `prepare`
// (hooks set) after the open.
void run_file(const fs::path& path, const std::function<void(vm::input::PedigreeFile&)>& prepare, PipelineRun& run) {
  vm::input::PedigreeFile pedigree;
  ASSERT_TRUE(pedigree.open(path.string()));
  prepare(pedigree);
  vm::StringSink channel9;
  run.status = vm::run_pipeline_for_test(pedigree, vm::input::FieldNumbers{1, 2, 3, 4, 5}, run.screen, run.log,
                                         run.output, channel9, run.errors);
}

// A run that ended with the one error line `error`, wrote no result table
// and did not finish.
void expect_refused(const PipelineRun& run, const std::string& error) {
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.errors.data, "velmora: " + error + "\n");
  EXPECT_EQ(run.output.data, "");
  EXPECT_FALSE(contains(run.screen.data, "Finished."));
}

// The reader's read(2), in parts of at most 4 KiB, that fails with EIO
// once `bytes` of pass `pass` were read.
std::function<long(int, char*, size_t)> failing_read(vm::input::PedigreeFile& file, std::string pass, size_t bytes) {
  auto given = std::make_shared<size_t>(0);
  return [&file, pass, bytes, given](int fd, char* buffer, size_t size) -> long {
    if (file.pass() != pass) return ::read(fd, buffer, std::min<size_t>(size, 4096));
    if (*given >= bytes) {
      errno = EIO;
      return -1;
    }
    const long n = ::read(fd, buffer, std::min({size, size_t{4096}, bytes - *given}));
    *given += static_cast<size_t>(std::max(n, 0L));
    return n;
  };
}

TEST_F(Hardening, ReadErrorInAnyPassEndsTheRun) {
  const std::string text = counted_pedigree();
  write("ped.txt", text);
  const std::string file = path("ped.txt").string();
  for (auto [pass, bytes] : {std::pair{"first records", 100}, std::pair{"counting", 30000}, std::pair{"counting", 4096},
                             std::pair{"animal", 20000}, std::pair{"parent", 33333}}) {
    PipelineRun run;
    run_file(path("ped.txt"), [&](vm::input::PedigreeFile& f) { f.set_hooks_for_test({failing_read(f, pass, bytes), {}}); },
             run);
    const auto line = std::count(text.begin(), text.begin() + bytes, '\n') + 1;
    expect_refused(run, "pedigree file \"" + file + "\" cannot be read at line " + std::to_string(line) + " (" + pass +
                            " pass): " + std::strerror(EIO));
  }
}

TEST_F(Hardening, PedigreeThatChangesDuringTheRun) {
  const std::string text = counted_pedigree();
  const std::string file = path("ped.txt").string();
  const std::string size = std::to_string(text.size());
  const std::string changed = "pedigree file \"" + file + "\" changed during the run: ";
  // The start of the 1001st line: a cut at a line end.
  const size_t half = [&] {
    size_t at = 0;
    for (int k = 0; k < 1000; ++k) at = text.find('\n', at) + 1;
    return at;
  }();
  struct Case {
    std::string pass;       // the change comes as this pass begins ...
    bool within;            // ... or with its first read, after the check
    std::function<void()> change;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"animal", false, [&] { std::ofstream(file, std::ios::app) << "X1 0 0 P1 Y1\n"; },
       changed + "it had " + size + " bytes and has " + std::to_string(text.size() + 13) +
           " (seen as the animal pass began)"},
      {"animal", false, [&] { fs::resize_file(file, half); },
       changed + "it had " + size + " bytes and has " + std::to_string(half) + " (seen as the animal pass began)"},
      {"parent", false,
       [&] {
         write_file(path("new.txt"), text);
         fs::rename(path("new.txt"), file);
       },
       changed + "its name now leads to another file, or to none (seen as the parent pass began)"},
      {"animal", true, [&] { fs::resize_file(file, half); },
       changed + "the animal pass found the end of the file after line 1000, at record 1001 of the 2000 records counted"},
      {"parent", true, [&] { std::ofstream(file, std::ios::app) << "X1 0 0 P1 Y1\n"; },
       changed + "the parent pass found more than the 2000 records counted, at line 2001"},
      {"parent", true, [&] { std::fstream(file, std::ios::in | std::ios::out) << "B"; },
       changed + "it was written to (seen as the parent pass ended)"},
      {"animal", true, [&] { std::ofstream(file) << std::string(text).replace(half, 2, "'A"); },
       changed + "the animal pass cannot read record 1001 at line 1001: a quoted value is not closed before the "
                 "end of the file"},
  };
  for (const Case& c : cases) {
    write("ped.txt", text);
    PipelineRun run;
    bool changed_once = false;
    auto change_once = [&](std::string_view pass) {
      if (pass == c.pass && !changed_once) {
        changed_once = true;
        c.change();
      }
    };
    run_file(
        path("ped.txt"),
        [&](vm::input::PedigreeFile& f) {
          vm::input::PedigreeFile::TestHooks hooks;
          if (c.within) {
            hooks.read = [&f, &change_once](int fd, char* buffer, size_t size) -> long {
              change_once(f.pass());
              return ::read(fd, buffer, std::min<size_t>(size, 4096));
            };
          } else {
            hooks.before_pass = change_once;
          }
          f.set_hooks_for_test(hooks);
        },
        run);
    expect_refused(run, c.error);
  }
}

// ---------------------------------------------------------------------------
// The in-process run that the fuzz target drives

// It must be the program's own run, so that what the fuzzer finds holds for
// the program: the same screen after the parameters, log and output.
TEST_F(Hardening, InProcessRunIsTheProgramsRun) {
  for (const std::string& text : {std::string(kPedigree), std::string(kPedigree) + "A1 A1 F2 PA Y1\n",
                                  std::string(kPedigree).substr(0, 40)}) {
    Result r = run_pedigree(text);
    vm::input::PedigreeFile pedigree;
    pedigree.open_memory(text);
    vm::StringSink screen_sink, log, output, channel9, errors;
    const int status = vm::run_pipeline_for_test(pedigree, vm::input::FieldNumbers{1, 2, 3, 4, 5}, screen_sink, log,
                                                 output, channel9, errors);
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(screen_sink.data, screen(r));
    EXPECT_EQ(log.data, read("log.txt"));
    EXPECT_EQ(output.data, read("out.txt"));
    EXPECT_EQ(errors.data.empty(), r.err.empty());
  }
}

// Inputs the fuzz target reported. Both runs were sound; the target's own
// checks mistook a code for a number or for the final line.
TEST_F(Hardening, FuzzFindings) {
  // Codes that read like the table's non-numbers.
  std::string text(kPedigree);
  for (auto [from, to] : {std::pair{"PA", "NaN"}, std::pair{"PB", "Inf"}, std::pair{"Y2", "inf"}}) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) text.replace(at, 2, to);
  }
  Result r = run_pedigree(text);
  expect_finished(r);
  EXPECT_TRUE(contains(read("out.txt"), " Pair of populations :NaN & Inf"));
  EXPECT_TRUE(contains(read("out.txt"), "inf            |       1.250000 |       1.250000 |         100.00 |\n"));

  // A first line with a code that reads "Finished." in a too-long field,
  // and too few records.
  const std::string line = "S1 0 0 PA Y1GS" + std::string(67, '\x17') + "Finished." + std::string(3, '\x17') + "\n ";
  r = run_pedigree(line, "1\n2\n1\n2\n3\n");
  expect_file_error(r, "ped.txt", "before record 2");
  EXPECT_TRUE(ends_with(r.out, "Unit " + num(11) + "\n"));
}

}  // namespace
