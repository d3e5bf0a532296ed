// The option interface in-process: reading the options, default file
// names, the screen of an option run, the CPU count.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/cpus.h"
#include "driver/options.h"
#include "driver/screen.h"

namespace {

using vm::Command;
using vm::ParsedOptions;
using vm::UsageError;

ParsedOptions parse(std::vector<std::string> args) { return vm::parse_options(args); }

// The message of the UsageError that `args` give, or "" when they parse.
std::string refusal(std::vector<std::string> args) {
  try {
    vm::parse_options(args);
  } catch (const UsageError& error) {
    return error.message;
  }
  return "";
}

TEST(Options, DefaultsAndBothValueForms) {
  ParsedOptions p = parse({"--pedigree", "herd.ped"});
  EXPECT_EQ(p.command, Command::kRun);
  EXPECT_EQ(p.run.pedigree, "herd.ped");
  EXPECT_EQ(p.run.fields.animal, 1);
  EXPECT_EQ(p.run.fields.period, 5);
  EXPECT_EQ(p.run.output, "");
  EXPECT_EQ(p.run.threads, 0u);
  EXPECT_FALSE(p.run.quiet);

  p = parse({"--fields=5,4,3,2,1", "--pedigree=a b/c.ped", "--output", "o", "--log=l", "--threads", "3",
             "--unknown", "NA,.", "--quiet"});
  EXPECT_EQ(p.run.pedigree, "a b/c.ped");
  EXPECT_EQ(p.run.fields.animal, 5);
  EXPECT_EQ(p.run.fields.sire, 4);
  EXPECT_EQ(p.run.fields.period, 1);
  EXPECT_EQ(p.run.output, "o");
  EXPECT_EQ(p.run.log, "l");
  EXPECT_EQ(p.run.threads, 3u);
  EXPECT_EQ(p.run.unknown, (std::vector<std::string>{"NA", "."}));
  EXPECT_TRUE(p.run.quiet);
}

TEST(Options, NamesAreUsedWhole) {
  const std::string name(300, 'x');
  EXPECT_EQ(parse({"--pedigree", name}).run.pedigree, name);
  // A value may itself begin with dashes or hold an equals sign.
  EXPECT_EQ(parse({"--pedigree", "--odd=name"}).run.pedigree, "--odd=name");
}

TEST(Options, HelpAndVersionNeedNoPedigree) {
  EXPECT_EQ(parse({"--help"}).command, Command::kHelp);
  EXPECT_EQ(parse({"--version"}).command, Command::kVersion);
  EXPECT_EQ(vm::version_text().rfind("velmora ", 0), 0u);
  const std::string help = vm::usage_text();
  for (const char* option : {"--pedigree", "--fields", "--output", "--log", "--threads", "--unknown", "--quiet"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
}

TEST(Options, CommandLinesThatCannotBeUsed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "--pedigree FILE is required"},
      {{"--fields", "1,2,3,4,5"}, "--pedigree FILE is required"},
      {{"--pedigree", "p", "--bogus"}, "unknown option \"--bogus\""},
      {{"--pedigree=p", "--pedigree=q"}, "given twice"},
      {{"--pedigree"}, "needs a value"},
      {{"--pedigree", "p", "extra"}, "unexpected argument \"extra\""},
      {{"--pedigree", "p", "--quiet=yes"}, "takes no value"},
      {{"--pedigree", ""}, "file name is empty"},
      {{"--pedigree", "p", "--output="}, "file name is empty"},
      {{"--pedigree", "p", "--fields", "1,2,3,4"}, "expected five field numbers"},
      {{"--pedigree", "p", "--fields", "1,2,3,4,5,6"}, "expected five field numbers"},
      {{"--pedigree", "p", "--fields", "1,2,,4,5"}, "empty item"},
      {{"--pedigree", "p", "--fields", "0,2,3,4,5"}, "whole number from 1"},
      {{"--pedigree", "p", "--fields", "1,+2,3,4,5"}, "whole number from 1"},
      {{"--pedigree", "p", "--fields", "1,2,3,4,5x"}, "needs --header"},
      {{"--pedigree", "p", "--header", "--fields", "id,sire,,breed,year"}, "empty item"},
      {{"--pedigree", "p", "--header", "--no-header"}, "cannot be given together"},
      {{"--pedigree", "p", "--separator", "pipe"}, "expected tab, comma, semicolon or blank"},
      {{"--pedigree", "p", "--output", "-"}, "the screen lines go to standard output"},
      {{"--pedigree", "p", "--log=-"}, "the screen lines go to standard output"},
      {{"--pedigree", "p", "--fields", "1,2,3,4,99999999999"}, "whole number from 1"},
      {{"--pedigree", "p", "--threads", "0"}, "whole number from 1 to 1024"},
      {{"--pedigree", "p", "--threads", "1025"}, "whole number from 1 to 1024"},
      {{"--pedigree", "p", "--threads", "-1"}, "whole number from 1 to 1024"},
      {{"--pedigree", "p", "--unknown", "NA,"}, "empty item"},
      {{"--pedigree", "p", "--unknown", std::string(26, 'u')}, "longer than 25"},
      {{"--pedigree", "p", "--unknown", "\"N A"}, "quote is not closed"},
      {{"--pedigree", "p", "--unknown", "NA,\"\""}, "empty item"},
  };
  for (const auto& [args, expected] : cases) {
    const std::string message = refusal(args);
    EXPECT_NE(message.find(expected), std::string::npos) << "got \"" << message << "\" for " << args.size() << " args";
  }
}

// Codes with blanks, commas and quotes are written as a record writes them.
TEST(Options, UnknownCodesMayBeQuoted) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"NA,.", {"NA", "."}},
      {"\"not known\",NA", {"not known", "NA"}},
      {"not known", {"not known"}},
      {"\"a,b\",c", {"a,b", "c"}},
      {"\"say \"\"x\"\"\"", {"say \"x\""}},
  };
  for (const auto& [value, codes] : cases) EXPECT_EQ(parse({"--pedigree", "p", "--unknown", value}).run.unknown, codes) << value;
}

TEST(Options, DefaultResultNamesNeverThePedigree) {
  EXPECT_EQ(vm::default_result_name("data/herd.ped", ".out"), "herd.out");
  EXPECT_EQ(vm::default_result_name("/abs/path/herd.2024.txt", ".log"), "herd.2024.log");
  EXPECT_EQ(vm::default_result_name("herd", ".out"), "herd.out");
  EXPECT_EQ(vm::default_result_name("herd.out", ".out"), "herd.out.out");
  EXPECT_EQ(vm::default_result_name("data/herd.log", ".log"), "herd.log.log");
  EXPECT_EQ(vm::default_result_name("data/", ".out"), "velmora.out");
}

// ---------------------------------------------------------------------------
// The screen of an option run

double fake_now = 0;
double fake_clock() { return fake_now; }

// What the stages tell a screen: a line, the start of a stage, or units
// done.
struct Event {
  enum Kind { kLine, kStage, kAdvance } kind;
  std::string text;
  int64_t units = 0;
};
Event line(std::string text) { return {Event::kLine, std::move(text)}; }
Event stage(std::string name, int64_t total) { return {Event::kStage, std::move(name), total}; }
Event advance(int64_t units) { return {Event::kAdvance, "", units}; }

void tell(vm::OptionScreen& screen, const std::vector<Event>& events) {
  for (const Event& e : events) {
    if (e.kind == Event::kLine) screen.write(e.text);
    if (e.kind == Event::kStage) screen.stage(e.text, e.units);
    if (e.kind == Event::kAdvance) screen.advance(e.units);
  }
}

std::string shown(vm::OptionScreen::Mode mode, const std::vector<Event>& events) {
  vm::StringSink screen;
  vm::OptionScreen option_screen(screen, mode, fake_clock);
  tell(option_screen, events);
  option_screen.flush();
  return screen.data;
}

const std::vector<Event> kInbreedingStage = {
    stage("links", 0),  stage("inbreeding", 4000), advance(1000), advance(1000), advance(1000), advance(1000),
    stage("periods", 1), advance(1), line("Finished.\n")};

TEST(OptionScreen, QuietKeepsErrorsWarningsAndTheFinalLine) {
  EXPECT_EQ(shown(vm::OptionScreen::Mode::kQuiet, kInbreedingStage), "Finished.\n");
  EXPECT_EQ(shown(vm::OptionScreen::Mode::kQuiet,
                  {stage("counting", 0), advance(100000), line("\n"),
                   line("  ERROR: Loop in pedigree: animals without generation\n"), line("Program has terminated\n")}),
            "\n  ERROR: Loop in pedigree: animals without generation\nProgram has terminated\n");
}

TEST(OptionScreen, PlainIsTheClassicScreen) {
  EXPECT_EQ(shown(vm::OptionScreen::Mode::kPlain, kInbreedingStage),
            "  Updating links ...\n"
            "  Calculating coefficients of inbreeding ...\n"
            "         1000\n         2000\n         3000\n         4000\n"
            "Finished.\n");
  // Count lines at every 100,000th record, however the units arrive.
  EXPECT_EQ(shown(vm::OptionScreen::Mode::kPlain, {stage("counting", 0), advance(150000), advance(49999),
                                                   advance(1), advance(3)}),
            " Allocating memory ...\n       100000\n       200000\n");
}

TEST(OptionScreen, EachStageOneUpdatingLine) {
  fake_now = 100;
  EXPECT_EQ(shown(vm::OptionScreen::Mode::kProgress, kInbreedingStage),
            "Updating links ...\n"
            "Calculating coefficients of inbreeding ..."
            "\rCalculating coefficients of inbreeding ...   25%  0:00"
            "\rCalculating coefficients of inbreeding ...   50%  0:00"
            "\rCalculating coefficients of inbreeding ...   75%  0:00"
            "\rCalculating coefficients of inbreeding ...  100%  0:00\n"
            "Calculating drift variance between populations ..."
            "\rCalculating drift variance between populations ...  100%  0:00\n"
            "Finished.\n");
}

TEST(OptionScreen, UnknownTotalsShowTheCountAndErrorsEndTheLine) {
  fake_now = 0;
  // A stage that ends in an error keeps its share; one without a title
  // goes on the line before.
  EXPECT_EQ(shown(vm::OptionScreen::Mode::kProgress,
                  {stage("counting", 0), advance(100000), stage("collecting", 100000), advance(100000),
                   stage("animals", 400000), advance(100000), line("  ERROR: No animal code in record 7\n")}),
            "Allocating memory ...\rAllocating memory ...  100000  0:00\n"
            "Reading animals ...\rReading animals ...   25%  0:00\n"
            "  ERROR: No animal code in record 7\n");
}

TEST(OptionScreen, ElapsedTimeOfTheStage) {
  fake_now = 10;
  vm::StringSink screen;
  vm::OptionScreen option_screen(screen, vm::OptionScreen::Mode::kProgress, fake_clock);
  option_screen.stage("inbreeding", 1000000);
  fake_now = 10 + 75.5;
  option_screen.advance(1000);
  EXPECT_NE(screen.data.find("    0%  1:15"), std::string::npos) << screen.data;
  // Standard output is flushed before an error goes to the error stream:
  // the open line ends first.
  option_screen.flush();
  EXPECT_EQ(screen.data.back(), '\n');
}

// ---------------------------------------------------------------------------
// CPUs

TEST(Cpus, QuotasRoundUp) {
  EXPECT_EQ(vm::cpus_of_quota(-1, 100000), 0u);
  EXPECT_EQ(vm::cpus_of_quota(50000, 100000), 1u);
  EXPECT_EQ(vm::cpus_of_quota(150000, 100000), 2u);
  EXPECT_EQ(vm::cpus_of_quota(400000, 100000), 4u);
  EXPECT_EQ(vm::cpus_of_cpu_max("max 100000"), 0u);
  EXPECT_EQ(vm::cpus_of_cpu_max("250000 100000"), 3u);
  EXPECT_EQ(vm::cpus_of_cpu_max("1000 100000"), 1u);
  EXPECT_EQ(vm::cpus_of_cpu_max(""), 0u);
}

TEST(Cpus, AffinityMaskIsHonoured) {
  cpu_set_t before;
  ASSERT_EQ(::sched_getaffinity(0, sizeof before, &before), 0);
  const unsigned all = vm::usable_cpus();
  EXPECT_GE(all, 1u);
  EXPECT_LE(all, static_cast<unsigned>(CPU_COUNT(&before)));
  int first = 0;
  while (!CPU_ISSET(first, &before)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(vm::usable_cpus(), 1u);
  ::sched_setaffinity(0, sizeof before, &before);
}

}  // namespace
