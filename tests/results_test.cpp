// The result files of the option interface: field quoting and numbers, the
// tidy table and the inbreeding file against exact strings, the inbreeding
// coefficients of whole runs against the tabular method, and the report's
// promises (self-contained, every chart drawn, names escaped, size).
#include <gtest/gtest.h>

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

#include "driver/run.h"
#include "input/record_reader.h"
#include "program_files.h"
#include "results/report.h"
#include "results/svg.h"
#include "results/tables.h"

namespace {

using vm::genetics::DriftResults;
using vm::genetics::Names;
namespace results = vm::results;

std::string quoted_field(std::string_view text, char separator) {
  std::string out;
  results::append_field(out, text, separator);
  return out;
}

// Animals of each population in each period, as the period loop counts them.
results::PerGroup<int64_t> animals_per_group(const results::AnimalTable& animals, int32_t Q, int32_t P) {
  results::PerGroup<int64_t> counts{Q, P, std::vector<int64_t>(static_cast<size_t>(Q) * static_cast<size_t>(P), 0)};
  for (int32_t a = 1; a <= animals.n; ++a) {
    const int32_t I = animals.pop[a], t = animals.period[a];
    if (I >= 1 && I <= Q && t >= 1 && t <= P) ++counts.values[static_cast<size_t>(I - 1) * static_cast<size_t>(P) + static_cast<size_t>(t - 1)];
  }
  return counts;
}


bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

size_t occurrences(const std::string& s, const std::string& part) {
  size_t n = 0;
  for (size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Fields and numbers

TEST(DelimitedFields, QuotedOnlyWhenNeeded) {
  EXPECT_EQ(quoted_field("POP01", ','), "POP01");
  EXPECT_EQ(quoted_field("", ','), "");
  EXPECT_EQ(quoted_field("Holstein, black", ','), "\"Holstein, black\"");
  EXPECT_EQ(quoted_field("6\" line", ','), "\"6\"\" line\"");
  EXPECT_EQ(quoted_field("a\nb", ','), "\"a\nb\"");
  EXPECT_EQ(quoted_field("a\rb", ','), "\"a\rb\"");
  // Each file quotes its own separator only.
  EXPECT_EQ(quoted_field("a\tb", ','), "a\tb");
  EXPECT_EQ(quoted_field("a\tb", '\t'), "\"a\tb\"");
  EXPECT_EQ(quoted_field("a,b", '\t'), "a,b");
}

TEST(ShortestNumbers, ReadBackToTheSameDouble) {
  EXPECT_EQ(results::shortest(0.1), "0.1");
  EXPECT_EQ(results::shortest(0.0), "0");
  EXPECT_EQ(results::shortest(100.0), "100");
  EXPECT_EQ(results::shortest(0.25), "0.25");
  EXPECT_EQ(results::shortest(std::nan("")), "NaN");
  EXPECT_EQ(results::shortest(-INFINITY), "-Inf");
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int k = 0; k < 10000; ++k) {
    const double v = std::pow(10.0, 40 * unit(rng) - 20) * (unit(rng) < 0.5 ? -1 : 1);
    const std::string text = results::shortest(v);
    double back = 0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(back, v) << text;
    ASSERT_LE(text.size(), 24u);
  }
}

// ---------------------------------------------------------------------------
// The tidy table

// Three populations over two periods; population 3 has no animals in
// period 2, and population 1's name holds a comma.
struct SmallRun {
  Names names{{"", "Holstein, black", "POP2", "POP3"}, {"", "1990", "1991"}};
  DriftResults drift;
  results::PerGroup<int64_t> counts{3, 2, {4, 5, 6, 7, 2, 0}};
  SmallRun() {
    drift.Q = 3;
    drift.P = 2;
    drift.animals = counts.values;
    for (auto* v : {&drift.mean_relationship, &drift.driftvar, &drift.maxdriftvar, &drift.index}) v->assign(18, 0.0);
    for (int32_t a = 1; a <= 2; ++a) {
      for (int32_t I = 1; I <= 3; ++I) {
        if (counts.at(I, a) == 0) continue;
        for (int32_t J = 1; J <= 3; ++J) {
          if (counts.at(J, a) == 0) continue;
          drift.at(drift.mean_relationship, I, J, a) = I == J ? 0.5 + 0.125 * I + 0.25 * a : 0.125;
        }
      }
      for (int32_t I = 2; I <= 3; ++I) {
        for (int32_t J = 1; J < I; ++J) {
          if (counts.at(I, a) == 0 || counts.at(J, a) == 0) continue;
          const double W = drift.get(drift.mean_relationship, I, I, a) + drift.get(drift.mean_relationship, J, J, a);
          drift.at(drift.driftvar, I, J, a) = W - 0.25;
          drift.at(drift.maxdriftvar, I, J, a) = W;
          drift.at(drift.index, I, J, a) = 100 * (W - 0.25) / W;
        }
      }
    }
  }
};

TEST(TidyTable, RowsInTheOrderOfTheResultTable) {
  SmallRun run;
  vm::StringSink out;
  results::write_csv(run.drift, run.names, out);
  EXPECT_EQ(out.data,
            "period,population_1,population_2,n_1,n_2,relationship_within_1,relationship_within_2,"
            "relationship_between,drift_variance,max_drift_variance,differentiation_index,nei_distance\n"
            "1990,POP2,\"Holstein, black\",6,4,1,0.875,0.125,1.625,1.875,86.66666666666667,0.40625\n"
            "1991,POP2,\"Holstein, black\",7,5,1.25,1.125,0.125,2.125,2.375,89.47368421052632,0.53125\n"
            "1990,POP3,\"Holstein, black\",2,4,1.125,0.875,0.125,1.75,2,87.5,0.4375\n"
            // Population 3 has no animals: its counts, and no figure that needs it.
            "1991,POP3,\"Holstein, black\",0,5,,1.125,,,,,\n"
            "1990,POP3,POP2,2,6,1.125,1,0.125,1.875,2.125,88.23529411764706,0.46875\n"
            "1991,POP3,POP2,0,7,,1.25,,,,,\n");
}

TEST(TidyTable, OnePopulationGivesAHeaderOnly) {
  Names names{{"", "A"}, {"", "1990"}};
  DriftResults drift;
  drift.Q = 1;
  drift.P = 1;
  drift.animals = {3};
  vm::StringSink out;
  results::write_csv(drift, names, out);
  EXPECT_EQ(occurrences(out.data, "\n"), 1u);
}

// Two populations in two periods: the second population has no animals in
// the first period (no row), the second period has none at all.
TEST(DiversityTables, RowsOfGroupsWithAnimalsAndEmptyCellsForMissingFigures) {
  const Names names{{"", "Holstein, black", "POP2"}, {"", "1990", "1991"}};
  vm::genetics::Diversity d;
  d.Q = 2;
  d.P = 2;
  d.groups.resize(4);
  d.periods.resize(2);
  vm::genetics::GroupFigures& g = d.groups[0];
  g = {3, 2, 1, 0.125, 0.75, 1.0 / 0.75, 12000000, 2.5, 1.5, 1, 2, 0, std::nan(""), std::nan("")};
  d.groups[1].n = 0;
  d.periods[0] = {1, 0.125, 0.375, 0.375, 0.3, std::nan(""), std::nan("")};
  // The diversity columns, then one of a file of its own.
  std::vector<vm::genetics::GroupColumn> columns;
  for (const auto& statistic : vm::genetics::kGroupStatistics) {
    columns.push_back({statistic.name, statistic.count, {}});
    for (const vm::genetics::GroupFigures& group : d.groups) columns.back().values.push_back(statistic.of(group));
  }
  columns.push_back({"listed", true, {7, std::nan(""), 0, 0}});
  vm::StringSink summary, fstatistics;
  results::write_summary(d, columns, names, summary);
  results::write_fstatistics(d, names, fstatistics);
  EXPECT_EQ(summary.data,
            "period,population,n,n_both_parents,n_one_parent,mean_inbreeding,mean_relationship_within,"
            "founder_genome_equivalents,founders,effective_founders,mean_equivalent_generations,"
            "mean_complete_generations,mean_maximum_generations,n_delta_f,ne_delta_f,ne_delta_f_se,listed\n"
            // A count stays a whole number however large (not 1.2e+07).
            "1990,\"Holstein, black\",3,2,1,0.125,0.75,1.3333333333333333,12000000,2.5,1.5,1,2,0,,,7\n");
  EXPECT_EQ(fstatistics.data,
            "period,populations,mean_inbreeding,f_within,f_total,f_is,f_st,f_it\n"
            "1990,1,0.125,0.375,0.375,0.3,,\n");
}

// ---------------------------------------------------------------------------
// Per-animal figures

struct FourAnimals {
  // Two animals with a record (the second an offspring of the first and of
  // a parent added later), the added parent, and nothing else.
  std::vector<std::string> codes{"", "S1", "K\"1", "D\t9"};
  std::vector<int32_t> sire{0, 0, 1, 0}, dam{0, 0, 3, 0}, pop{0, 2, 1, 0}, period{0, 1, 1, 0}, gen{0, 1, 2, 1};
  std::vector<double> F{0, 0, 0.1, 0};
  // Depths that no pedigree gives, so that a column swapped shows.
  std::vector<double> equivalent{0, 0, 1.5, 0};
  std::vector<int32_t> complete{0, 0, 1, 0}, maximum{0, 0, 2, 0};
  results::AnimalTable table() const {
    return {3, [this](int32_t a) { return std::string_view(codes[a]); }, sire, dam, pop, period, gen, F,
            equivalent, complete, maximum};
  }
};

TEST(InbreedingFile, AnimalsInLoadingOrderWithCodesAsRead) {
  FourAnimals animals;
  Names names{{"", "P,1", "P2"}, {"", "2001"}};
  vm::StringSink out;
  results::write_inbreeding(animals.table(), names, out);
  EXPECT_EQ(out.data,
            "animal\tsire\tdam\tpopulation\tperiod\tgeneration\tinbreeding\tequivalent_generations\t"
            "complete_generations\tmaximum_generations\n"
            "S1\t0\t0\tP2\t2001\t1\t0\t0\t0\t0\n"
            "\"K\"\"1\"\tS1\t\"D\t9\"\tP,1\t2001\t2\t0.1\t1.5\t1\t2\n"
            "\"D\t9\"\t0\t0\t\t\t1\t0\t0\t0\t0\n");
}

TEST(InbreedingFile, SameBytesOnAnyNumberOfThreads) {
  // Several rounds of blocks, the last one short.
  const int32_t n = 123457;
  std::vector<std::string> codes(n + 1);
  std::vector<int32_t> sire(n + 1, 0), dam(n + 1, 0), pop(n + 1, 1), period(n + 1, 1), gen(n + 1, 1);
  std::vector<double> F(n + 1, 0.0), equivalent(n + 1, 0.0);
  std::vector<int32_t> complete(n + 1, 0), maximum(n + 1, 0);
  std::mt19937 rng(5);
  for (int32_t a = 1; a <= n; ++a) {
    codes[a] = "A" + std::to_string(a);
    if (a > 10) sire[a] = 1 + static_cast<int32_t>(rng() % (a - 1)), dam[a] = 1 + static_cast<int32_t>(rng() % (a - 1));
    F[a] = std::ldexp(static_cast<double>(rng()), -34);
  }
  const results::AnimalTable table{n,   [&](int32_t a) { return std::string_view(codes[a]); },
                                   sire, dam, pop, period, gen, F, equivalent, complete, maximum};
  Names names{{"", "P"}, {"", "T"}};
  vm::StringSink one, three;
  results::write_inbreeding(table, names, one, 1);
  results::write_inbreeding(table, names, three, 3);
  EXPECT_EQ(occurrences(one.data, "\n"), static_cast<size_t>(n) + 1);
  EXPECT_TRUE(one.data.ends_with("\nA123457\t" + codes[sire[n]] + "\t" + codes[dam[n]] + "\tP\tT\t1\t" +
                                 results::shortest(F[n]) + "\t0\t0\t0\n"));
  EXPECT_TRUE(one.data == three.data);
}

TEST(GroupFigures, CountsLeaveEmptyGroupsOut) {
  FourAnimals animals;
  const results::PerGroup<int64_t> counts = animals_per_group(animals.table(), 2, 2);
  EXPECT_EQ(counts.values, (std::vector<int64_t>{1, 0, 1, 0}));
}

// The diversity figures lie period by period, the report's figures
// population by population; an empty group has no mean.
TEST(GroupFigures, MeanInbreedingTurnsTheLayoutAndLeavesEmptyGroupsOut) {
  vm::genetics::Diversity figures;
  figures.Q = 2, figures.P = 3;
  figures.groups.resize(6);
  for (int32_t t = 1; t <= 3; ++t)
    for (int32_t I = 1; I <= 2; ++I) {
      vm::genetics::GroupFigures& g = figures.groups[static_cast<size_t>((t - 1) * 2 + (I - 1))];
      g.n = I == 2 && t == 3 ? 0 : 5;
      g.mean_inbreeding = I * 0.1 + t * 0.01;
    }
  const results::PerGroup<double> mean = results::mean_inbreeding(figures);
  EXPECT_EQ(mean.at(1, 1), 0.1 + 0.01);
  EXPECT_EQ(mean.at(2, 1), 0.2 + 0.01);
  EXPECT_EQ(mean.at(1, 3), 0.1 + 0.03);
  EXPECT_TRUE(std::isnan(mean.at(2, 3)));
}

// The report's counts come from the pedigree in any numbering: an added
// parent has no population, a founder no known parent.
TEST(Report, PedigreeCountsOfRecordedAndAddedAnimals) {
  vm::Pedigree ped;
  ped.n = 4;  // 1, 2: added founders; 3 in population 2 with parents 1 and 2; 4 in population 1, sire 3 only
  ped.sire = {0, 0, 0, 1, 3};
  ped.dam = {0, 0, 0, 2, 0};
  ped.pop = {0, 0, 0, 2, 1};
  ped.period = {0, 0, 0, 1, 1};
  const results::PedigreeCounts counts = results::pedigree_counts(ped, 2, 3);
  EXPECT_EQ(counts.animals, 4);
  EXPECT_EQ(counts.with_record, 2);
  EXPECT_EQ(counts.founders, 2);
  EXPECT_EQ(counts.generations, 3);
  EXPECT_EQ(counts.per_population, (std::vector<int64_t>{0, 1, 1}));
}

// ---------------------------------------------------------------------------
// Inbreeding of whole runs against the tabular method

struct Pedigree {
  std::vector<std::string> code;
  std::vector<int> sire, dam;  // indices into code, -1 unknown; parents before offspring
  std::vector<bool> recorded;
};

// F of every animal from the full relationship matrix, built row by row.
std::vector<double> tabular_F(const Pedigree& p) {
  const size_t n = p.code.size();
  std::vector<std::vector<double>> A(n, std::vector<double>(n, 0.0));
  for (size_t i = 0; i < n; ++i) {
    const int s = p.sire[i], d = p.dam[i];
    for (size_t j = 0; j < i; ++j) {
      A[i][j] = A[j][i] = 0.5 * ((s >= 0 ? A[j][s] : 0) + (d >= 0 ? A[j][d] : 0));
    }
    A[i][i] = 1 + (s >= 0 && d >= 0 ? 0.5 * A[s][d] : 0);
  }
  std::vector<double> F(n);
  for (size_t i = 0; i < n; ++i) F[i] = A[i][i] - 1;
  return F;
}

// The run's inbreeding file as code -> row fields.
std::map<std::string, std::vector<std::string>> run_inbreeding(const std::string& text) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("velmora_results_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  vm::input::PedigreeFile pedigree;
  pedigree.open_memory(text);
  vm::StringSink screen, log, output, channel9, errors;
  vm::ResultFiles files;
  files.inbreeding = (dir / "F.tsv").string();
  EXPECT_EQ(vm::run_pipeline_for_test(pedigree, {1, 2, 3, 4, 5}, screen, log, output, channel9, errors, files), 0)
      << errors.data;
  std::istringstream in(velmora_test::read_file(dir / "F.tsv"));
  std::filesystem::remove_all(dir);
  std::map<std::string, std::vector<std::string>> rows;
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line,
            "animal\tsire\tdam\tpopulation\tperiod\tgeneration\tinbreeding\tequivalent_generations\t"
            "complete_generations\tmaximum_generations");
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream f(line);
    for (std::string field; std::getline(f, field, '\t');) fields.push_back(field);
    if (line.back() == '\t') fields.emplace_back();
    rows[fields[0]] = fields;
  }
  return rows;
}

// The records of a pedigree; animals without a record appear only as parents.
std::string records_of(const Pedigree& p, std::mt19937& rng) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < p.code.size(); ++i) {
    if (!p.recorded[i]) continue;
    lines.push_back(p.code[i] + " " + (p.sire[i] >= 0 ? p.code[p.sire[i]] : "0") + " " +
                    (p.dam[i] >= 0 ? p.code[p.dam[i]] : "-") + " P" + std::to_string(i % 3) + " Y" +
                    std::to_string(i % 4) + "\n");
  }
  std::shuffle(lines.begin(), lines.end(), rng);  // offspring before parents, too
  std::string text;
  for (const std::string& l : lines) text += l;
  return text;
}

TEST(InbreedingOfARun, TextbookCases) {
  // Full sibs mated: their offspring 0.25. A selfed animal: half of one
  // plus its parent's F (the parent here the full-sib offspring).
  std::string text =
      "A 0 0 P Y\nB 0 0 P Y\nC A B P Y\nD A B P Y\nE C D P Y\nS E E P Y\n"
      "X1 0 0 Q Y\nX2 0 0 Q Y\nX3 0 0 Q Y\nX4 0 0 Q Y\n";
  auto rows = run_inbreeding(text);
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows["E"][6], "0.25");
  EXPECT_EQ(rows["S"][6], "0.625");
  EXPECT_EQ(rows["S"][5], "4");  // generation: one above its parent
  EXPECT_EQ(rows["C"][6], "0");
}

TEST(InbreedingOfARun, RandomPedigreesAgreeWithTheTabularMethod) {
  std::mt19937 rng(12);
  for (int round = 0; round < 6; ++round) {
    Pedigree p;
    const int n = 60 + 40 * round;
    for (int i = 0; i < n; ++i) {
      p.code.push_back("A" + std::to_string(1000 + i));
      const bool founder = i < 8 || rng() % 10 == 0;
      // Close relatives on purpose: parents among the last few animals.
      auto pick = [&] { return std::max(0, i - 1 - static_cast<int>(rng() % std::min(i, 12))); };
      p.sire.push_back(founder ? -1 : pick());
      p.dam.push_back(founder || rng() % 8 == 0 ? -1 : pick());
      p.recorded.push_back(founder ? rng() % 3 != 0 : true);  // some founders appear only as parents
    }
    for (int i = 0; i < n; ++i) {  // a parent that is never named has no place in the run
      if (!p.recorded[i]) {
        bool named = false;
        for (int j = 0; j < n; ++j) named = named || p.sire[j] == i || p.dam[j] == i;
        if (!named) p.recorded[i] = true;
      }
    }
    const std::vector<double> F = tabular_F(p);
    auto rows = run_inbreeding(records_of(p, rng));
    ASSERT_EQ(rows.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      const auto& row = rows.at(p.code[i]);
      EXPECT_NEAR(std::stod(row[6]), F[i], 1e-12) << p.code[i];
      EXPECT_EQ(row[1], p.sire[i] >= 0 ? p.code[p.sire[i]] : "0");
      EXPECT_EQ(row[2], p.dam[i] >= 0 ? p.code[p.dam[i]] : "0");
      EXPECT_EQ(row[3].empty(), !p.recorded[i]);
    }
  }
}

// ---------------------------------------------------------------------------
// The report

TEST(ReportAxes, RoundTicksAroundTheValues) {
  const results::Axis index = results::nice_axis(59.3, 100.0000000001);
  EXPECT_EQ(index.lo, 50);
  EXPECT_EQ(index.hi, 100);  // a rounding error past 100 adds no tick
  EXPECT_EQ(index.ticks.size(), 6u);
  const results::Axis small = results::nice_axis(0.0012, 0.0187);
  EXPECT_LE(small.lo, 0.0012);
  EXPECT_GE(small.hi, 0.0187);
  EXPECT_EQ(small.decimals, 3);
  const results::Axis flat = results::nice_axis(0.25, 0.25);  // one value
  EXPECT_LT(flat.lo, 0.25);
  EXPECT_GT(flat.hi, 0.25);
  // Values that differ only in their last bits: the ticks must still move
  // (a step below the values' rounding once made the tick loop endless).
  for (const auto& [lo, hi] : {std::pair{95.00000000000001, 95.00000000000003}, std::pair{1e300, 1.0000000000000002e300},
                               std::pair{-3.0000000000000004, -3.0}, std::pair{0.0, 5e-324}}) {
    const results::Axis near = results::nice_axis(lo, hi);
    EXPECT_LE(near.lo, lo);
    EXPECT_GE(near.hi, hi);
    EXPECT_GE(near.ticks.size(), 2u);
    EXPECT_LE(near.ticks.size(), 12u);
  }
}

TEST(ReportChoices, MostDifferentiatedByTheirLastValue) {
  SmallRun run;
  const auto pairs = results::pairs_in_table_order(3);
  ASSERT_EQ(pairs.size(), 3u);
  // (3,1) and (3,2) have no value in period 2: their period-1 index counts.
  EXPECT_EQ(results::most_differentiated(run.drift, pairs, 3), (std::vector<size_t>{0, 2, 1}));
  EXPECT_EQ(results::most_differentiated(run.drift, pairs, 1), (std::vector<size_t>{0}));
}

// A whole report of Q populations over P periods from made-up figures.
std::string report_of(int32_t Q, int32_t P, const std::string& name_stem,
                      const std::function<int64_t(int32_t, int32_t)>& count_of = nullptr, bool unrelated = false,
                      const std::vector<std::string>& period_codes = {}) {
  Names names;
  names.pop.assign(1, "");
  names.period.assign(1, "");
  for (int32_t I = 1; I <= Q; ++I) {
    std::string name = name_stem + std::to_string(I);
    names.pop.push_back(name.substr(0, 25));
  }
  for (int32_t a = 1; a <= P; ++a)
    names.period.push_back(period_codes.empty() ? std::to_string(1989 + a) : period_codes[static_cast<size_t>(a - 1)]);
  DriftResults drift;
  drift.Q = Q;
  drift.P = P;
  const size_t size = static_cast<size_t>(Q) * Q * P;
  for (auto* v : {&drift.mean_relationship, &drift.driftvar, &drift.maxdriftvar, &drift.index}) v->assign(size, 0.0);
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(0.01, 0.5);
  for (int32_t a = 1; a <= P; ++a)
    for (int32_t I = 1; I <= Q; ++I)
      for (int32_t J = 1; J <= Q; ++J) drift.at(drift.mean_relationship, I, J, a) = u(rng);
  for (int32_t a = 1; a <= P; ++a) {
    for (int32_t I = 2; I <= Q; ++I) {
      for (int32_t J = 1; J < I; ++J) {
        const double W = u(rng) + u(rng), D = unrelated ? W : W * u(rng);
        drift.at(drift.driftvar, I, J, a) = D;
        drift.at(drift.maxdriftvar, I, J, a) = W;
        drift.at(drift.index, I, J, a) = unrelated ? 100.0 : 100 * D / W;
      }
    }
  }
  results::PerGroup<int64_t> counts{Q, P, std::vector<int64_t>(static_cast<size_t>(Q) * P, 12345)};
  if (count_of)
    for (int32_t I = 1; I <= Q; ++I)
      for (int32_t a = 1; a <= P; ++a) counts.values[static_cast<size_t>(I - 1) * P + static_cast<size_t>(a - 1)] = count_of(I, a);
  // One founder per population and period.
  results::PedigreeCounts pedigree{Q * P, Q * P, Q * P, 1, std::vector<int64_t>(static_cast<size_t>(Q) + 1, P)};
  pedigree.per_population[0] = 0;
  results::PerGroup<double> mean{Q, P, std::vector<double>(static_cast<size_t>(Q) * P, 0.0625)};
  results::RunFacts facts;
  facts.pedigree_file = "herd <2024>.ped";
  facts.records = 1000000;
  facts.warnings = {"velmora: warning: the first record looks like a header line"};
  facts.seconds = 12.5;
  vm::StringSink out;
  drift.animals = counts.values;
  results::write_report({facts, pedigree, names, drift, mean}, out);
  return out.data;
}

// Choosing another period rewrites each heat-map cell's hover text after
// its last ": ", so that a population named "Farm: North" keeps its name;
// the page's own expression, run by a JavaScript engine where one is
// installed.
TEST(Report, PeriodChoiceKeepsNamesWithAColon) {
  const std::string page = report_of(2, 3, "Farm: North ");
  const std::string from = "replace(/", to = "/,': '";
  const size_t at = page.find(from);
  ASSERT_NE(at, std::string::npos);
  const size_t end = page.find(to, at);
  ASSERT_NE(end, std::string::npos);
  const std::string value_part = page.substr(at + from.size(), end - at - from.size());
  const std::string cell = "Farm: North 2 \xC3\x97 Farm: North 1";
  const size_t title = page.find("<title>" + cell + ": ");
  ASSERT_NE(title, std::string::npos);
  const std::string text = page.substr(title + 7, page.find("</title>", title) - title - 7);
  if (std::system("command -v node >/dev/null 2>&1") != 0) GTEST_SKIP() << "no node";
  const std::filesystem::path result = std::filesystem::temp_directory_path() / ("velmora_hover_" + std::to_string(::getpid()));
  const std::string cmd = "node -e 'const [re, t] = process.argv.slice(1); process.stdout.write(t.replace(new RegExp(re), \": 0.5000\"))' '" +
                          value_part + "' '" + text + "' >'" + result.string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream in(result);
  const std::string rewritten((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(result);
  EXPECT_EQ(rewritten, cell + ": 0.5000");
}

TEST(Report, SelfContainedWithEveryPart) {
  const std::string page = report_of(4, 6, "Breed & <line> ");
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_TRUE(page.ends_with("</html>\n"));
  // Nothing is fetched: no scheme, no linked file (the SVG namespace is a
  // name, never loaded).
  std::string fetchable = page;
  const std::string svg_namespace = "'http://www.w3.org/2000/svg'";
  ASSERT_EQ(occurrences(page, svg_namespace), 1u);
  fetchable.erase(fetchable.find(svg_namespace), svg_namespace.size());
  for (const char* outside : {"http:", "https:", "//", " src=", "<link", "url(", "@import"}) {
    EXPECT_FALSE(contains(fetchable, outside)) << outside;
  }
  for (const char* part : {"id=\"run\"", "id=\"index\"", "id=\"drift\"", "id=\"inbreeding\"", "id=\"relationships\"",
                           "id=\"table-section\"", "header line", "12.50 s", "1,000,000"}) {
    EXPECT_TRUE(contains(page, part)) << part;
  }
  // Names escaped everywhere: in text, in hover titles, in the chooser.
  EXPECT_FALSE(contains(page, "<line> "));
  EXPECT_TRUE(contains(page, "Breed &amp; &lt;line&gt; 2 &amp; Breed &amp; &lt;line&gt; 1"));
  EXPECT_TRUE(contains(page, "herd &lt;2024&gt;.ped"));
  // Six pairs: every pair drawn, six periods each, plus the chooser.
  EXPECT_TRUE(contains(page, "id=\"pair-choice\""));
  EXPECT_EQ(occurrences(page, "<tbody id=\"pair-"), 6u);
  EXPECT_EQ(occurrences(page, "<tr class=\"r\">"), 36u);
}

TEST(Report, ManyPairsStayUnderFiveMegabytes) {
  // The widest names a code can have (25 characters), 1,225 pairs.
  const std::string page = report_of(50, 35, "Population_name_of_width_");
  EXPECT_LT(page.size(), 5u << 20) << page.size();
  EXPECT_EQ(occurrences(page, "<tbody id=\"pair-"), 1225u);
  EXPECT_EQ(occurrences(page, "<option value="), 1226u + 35u);  // pairs, their default, periods
  // Five default pairs and the median drawn, not 1,225 lines.
  EXPECT_EQ(occurrences(page, "<g class=\"series\""), 6u + 10u);
}

// A thousand populations: half a million pairs. The table lists the most
// differentiated, the heat maps the largest populations, and the page says
// so; it stays a few megabytes.
TEST(Report, ThousandPopulationsStayUnderTenMegabytes) {
  const std::string page = report_of(1000, 7, "Population_name_of_width_");
  EXPECT_LT(page.size(), 10u << 20) << page.size();
  EXPECT_LE(occurrences(page, "<tbody id=\"pair-"), 205u);
  EXPECT_GE(occurrences(page, "<tbody id=\"pair-"), 200u);
  EXPECT_TRUE(contains(page, "The table lists 20")) << "the table says it is a selection";
  EXPECT_EQ(occurrences(page, "The map shows the 60 populations with the most animals of the 1,000"), 2u);
}

// ---------------------------------------------------------------------------
// Option runs that ask for the result files

class ResultOptions : public ::testing::Test {
 protected:
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("velmora_options_" + std::to_string(::getpid()));
  std::string err;
  void SetUp() override {
    std::filesystem::create_directories(dir);
    velmora_test::write_file(dir / "herd.ped", velmora_test::read_file(VELMORA_SOURCE_DIR "/examples/example.ped"));
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string at(const char* name) { return (dir / name).string(); }
  int run(std::vector<std::string> options) {
    std::vector<std::string> args{"velmora", "--pedigree", at("herd.ped"), "--output", at("herd.out"), "--log",
                                  at("herd.log"), "--quiet"};
    args.insert(args.end(), options.begin(), options.end());
    vm::StringSink screen, errors;
    const int status = vm::run_velmora(args, nullptr, screen, errors);
    err = errors.data;
    return status;
  }
  size_t files() { return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {})); }
};

TEST_F(ResultOptions, TheClassicFilesStayAsTheyAre) {
  ASSERT_EQ(run({}), 0) << err;
  const std::string table = velmora_test::read_file(dir / "herd.out"), log = velmora_test::read_file(dir / "herd.log");
  ASSERT_EQ(run({"--csv", at("r.csv"), "--inbreeding", at("f.tsv"), "--report", at("r.html")}), 0) << err;
  EXPECT_EQ(velmora_test::read_file(dir / "herd.out"), table);
  EXPECT_EQ(velmora_test::read_file(dir / "herd.log"), log);
  EXPECT_EQ(occurrences(velmora_test::read_file(dir / "r.csv"), "\n"), 1u + 6 * 6);
  EXPECT_EQ(occurrences(velmora_test::read_file(dir / "f.tsv"), "\n"), 1u + 3060);
  EXPECT_TRUE(velmora_test::read_file(dir / "r.html").ends_with("</html>\n"));
  EXPECT_EQ(files(), 6u);  // no temporary file left
}

TEST_F(ResultOptions, NeverOverAnInputOrAnotherFileOfTheRun) {
  const std::string pedigree = velmora_test::read_file(dir / "herd.ped");
  EXPECT_EQ(run({"--csv", at("herd.ped")}), 2);
  EXPECT_NE(err.find("the CSV file \"" + at("herd.ped") + "\" is the pedigree file"), std::string::npos) << err;
  EXPECT_EQ(run({"--report", at("./herd.out")}), 2);
  EXPECT_NE(err.find("the output file \"" + at("herd.out") + "\" and the report"), std::string::npos) << err;
  EXPECT_EQ(run({"--inbreeding", at("x"), "--report", at("x")}), 2);
  EXPECT_EQ(velmora_test::read_file(dir / "herd.ped"), pedigree);
  EXPECT_EQ(files(), 1u);  // refused before anything was written
}

// Left-out periods leave the tables and the page, not the pedigree: the
// other periods' rows and every animal's F stay as they are.
TEST_F(ResultOptions, DroppedPeriodsLeaveTheResultsNotThePedigree) {
  ASSERT_EQ(run({"--csv", at("all.csv"), "--inbreeding", at("all.tsv")}), 0) << err;
  ASSERT_EQ(run({"--csv", at("some.csv"), "--inbreeding", at("some.tsv"), "--report", at("some.html"),
                 "--drop-periods", "2000,1900,2015"}),
            0)
      << err;
  EXPECT_NE(err.find("no period \"1900\" to leave out"), std::string::npos) << err;
  std::string kept;
  std::istringstream all(velmora_test::read_file(dir / "all.csv"));
  for (std::string line; std::getline(all, line);)
    if (!line.starts_with("2000,") && !line.starts_with("2015,")) kept += line + "\n";
  EXPECT_EQ(velmora_test::read_file(dir / "some.csv"), kept);
  EXPECT_EQ(occurrences(velmora_test::read_file(dir / "herd.out"), "2000 "), 0u);
  auto column = [](const std::string& tsv, size_t k) {
    std::vector<std::string> values;
    std::istringstream in(tsv);
    for (std::string line; std::getline(in, line);) {
      size_t start = 0;
      for (size_t i = 0; i < k; ++i) start = line.find('\t', start) + 1;
      values.push_back(line.substr(start, line.find('\t', start) - start));
    }
    return values;
  };
  EXPECT_EQ(column(velmora_test::read_file(dir / "some.tsv"), 6), column(velmora_test::read_file(dir / "all.tsv"), 6));
  EXPECT_TRUE(contains(velmora_test::read_file(dir / "some.html"), "Periods left out</dt><dd>2000, 1900, 2015"));
}

TEST_F(ResultOptions, WholeOrNotAtAll) {
  // A run that stops early (here on a loop) leaves no result file, not
  // even a temporary one.
  velmora_test::write_file(dir / "herd.ped", "A B 0 P Y\nB A 0 P Y\n");
  velmora_test::write_file(dir / "old.csv", "kept\n");
  run({"--csv", at("old.csv"), "--report", at("r.html")});
  EXPECT_EQ(velmora_test::read_file(dir / "old.csv"), "kept\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "r.html"));
  // A file that cannot be written is an error, exit 2.
  SetUp();
  EXPECT_EQ(run({"--inbreeding", "/dev/full"}), 2);
  EXPECT_NE(err.find("cannot write the inbreeding file \"/dev/full\""), std::string::npos) << err;
  EXPECT_EQ(run({"--csv", at("no/such/folder/r.csv")}), 2);
  EXPECT_NE(err.find("cannot create the CSV file"), std::string::npos) << err;
}

// The fields of a comma-separated file without quoted fields, by line.
std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    rows.emplace_back();
    size_t start = 0;
    for (size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
      rows.back().push_back(line.substr(start, comma - start));
    rows.back().push_back(line.substr(start));
  }
  return rows;
}

// The example's four populations in six periods: every group has animals.
// The summary's within term is the tidy table's, to the last digit, and
// the classic files stay as they are.
TEST_F(ResultOptions, SummaryAndFStatisticsOfARun) {
  ASSERT_EQ(run({}), 0) << err;
  const std::string table = velmora_test::read_file(dir / "herd.out"), log = velmora_test::read_file(dir / "herd.log");
  ASSERT_EQ(run({"--summary", at("s.csv"), "--fstatistics", at("f.csv"), "--csv", at("r.csv")}), 0) << err;
  EXPECT_EQ(velmora_test::read_file(dir / "herd.out"), table);
  EXPECT_EQ(velmora_test::read_file(dir / "herd.log"), log);
  const auto summary = csv_rows(velmora_test::read_file(dir / "s.csv"));
  const auto fstatistics = csv_rows(velmora_test::read_file(dir / "f.csv"));
  const auto tidy = csv_rows(velmora_test::read_file(dir / "r.csv"));
  ASSERT_EQ(summary.size(), 1u + 4 * 6);
  ASSERT_EQ(fstatistics.size(), 1u + 6);
  EXPECT_EQ(summary[0].size(), 17u);
  EXPECT_EQ(summary[1][0] + "," + summary[1][1], "1995,POP01");
  EXPECT_EQ(summary[2][0] + "," + summary[2][1], "1995,POP02");  // populations within the period
  std::map<std::string, std::string> within;  // "period,population" -> the tidy table's within term
  for (size_t r = 1; r < tidy.size(); ++r) {
    within[tidy[r][0] + "," + tidy[r][1]] = tidy[r][5];
    within[tidy[r][0] + "," + tidy[r][2]] = tidy[r][6];
  }
  int64_t animals = 0;
  for (size_t r = 1; r < summary.size(); ++r) {
    const auto& row = summary[r];
    ASSERT_EQ(row.size(), 17u) << r;
    // n_no_parents: the rest of the group's animals.
    EXPECT_EQ(std::stoll(row[3]) + std::stoll(row[4]) + std::stoll(row[16]), std::stoll(row[2])) << r;
    EXPECT_EQ(row[6], within[row[0] + "," + row[1]]) << row[0] << " " << row[1];
    animals += std::stoll(row[2]);
    EXPECT_EQ(std::stoll(row[3]) + std::stoll(row[4]) <= std::stoll(row[2]), true) << r;
    // Founder genome equivalents <= effective founders <= founders.
    EXPECT_LE(std::stod(row[7]), std::stod(row[9]) * (1 + 1e-12)) << r;
    EXPECT_LE(std::stod(row[9]), std::stod(row[8]) * (1 + 1e-12)) << r;
  }
  EXPECT_EQ(animals, 3000);
  EXPECT_EQ(fstatistics[0].size(), 8u);
  for (size_t r = 1; r < fstatistics.size(); ++r) {
    const auto& row = fstatistics[r];
    EXPECT_EQ(row[0], summary[4 * r - 3][0]);
    EXPECT_EQ(row[1], "4");
    const double is = std::stod(row[5]), st = std::stod(row[6]), it = std::stod(row[7]);
    EXPECT_NEAR(1 - it, (1 - is) * (1 - st), 1e-12) << row[0];
  }
  EXPECT_EQ(files(), 6u);  // no temporary file left
}

TEST_F(ResultOptions, SummaryFilesKeepTheFileRules) {
  EXPECT_EQ(run({"--summary", at("herd.ped")}), 2);
  EXPECT_NE(err.find("the summary file \"" + at("herd.ped") + "\" is the pedigree file"), std::string::npos) << err;
  EXPECT_EQ(run({"--csv", at("x"), "--fstatistics", at("./x")}), 2);
  EXPECT_NE(err.find("the CSV file \"" + at("x") + "\" and the F statistics file"), std::string::npos) << err;
  EXPECT_EQ(run({"--summary", "-", "--fstatistics", "-"}), 2);  // one table on standard output at most
  EXPECT_EQ(files(), 1u);
  EXPECT_EQ(run({"--summary", "/dev/full", "--fstatistics", at("f.csv")}), 2);
  EXPECT_NE(err.find("cannot write the summary file \"/dev/full\""), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(dir / "f.csv"));
}

}  // namespace

namespace {

// Groups of a few animals: their points leave the charts (said so, with
// the bound), their rows stay in the table with the group sizes; rows
// without a population are folded; the index axis runs from 0 to 100.
TEST(Report, SmallGroupsLeaveTheChartsAndSaySo) {
  const std::string page =
      report_of(3, 4, "P", [](int32_t I, int32_t a) -> int64_t { return I == 3 ? (a == 4 ? 0 : 2) : 50; });
  EXPECT_TRUE(contains(page, "6 points are left out where a population has fewer than 10 animals"));
  EXPECT_TRUE(contains(page, "<tr class=\"r thin\"><td>1990<td>2<td>50<td>"));
  EXPECT_EQ(occurrences(page, "<tr class=\"r absent\">"), 2u);
  EXPECT_TRUE(contains(page, "show the 2 rows where one of the two populations has no animals"));
  EXPECT_TRUE(contains(page, "(n = 50 and 50)</title>"));
  EXPECT_FALSE(contains(page, "(n = 2 and 50)</title>"));  // no point drawn for them
  EXPECT_TRUE(contains(page, "The smallest group of this run has 2 animals"));
  EXPECT_TRUE(contains(page, "data-lo=\"0\" data-hi=\"100\""));
}

TEST(Report, PairsThatCoincideAreNamedTogether) {
  const std::string page = report_of(3, 3, "Gazella ", nullptr, true);
  EXPECT_TRUE(contains(page, "3 pairs that coincide at 100.00 in every period drawn: Gazella 2 &amp; Gazella 1"));
  EXPECT_EQ(occurrences(page, "<ul class=\"legend\" id=\"index-legend\"><li>"), 1u);
}

TEST(Report, NumericPeriodsOnATimeAxis) {
  EXPECT_EQ(results::time_axis({"1990", "1995", "2001"}), (std::vector<double>{1990, 1995, 2001}));
  const std::vector<double> with_unknown = results::time_axis({"0000", "1990", "1991"});
  ASSERT_EQ(with_unknown.size(), 3u);
  EXPECT_TRUE(std::isnan(with_unknown[0]));
  EXPECT_TRUE(results::time_axis({"1990", "1990b"}).empty());  // a list, not a time axis
  EXPECT_LT(results::time_axis({"20001231", "20010101"})[1] - results::time_axis({"20001231", "20010101"})[0], 0.01);
  const std::string page = report_of(2, 3, "P", nullptr, false, {"0000", "1990", "2000"});
  EXPECT_TRUE(contains(page, "The time axis leaves out 1 period coded with zeros only"));
  // 1990 and 2000 at the ends of the axis, 0000 on none.
  EXPECT_TRUE(contains(page, "data-xs=\",84.0,960.0\""));
}

}  // namespace
