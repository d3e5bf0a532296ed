// Pedigree ordering: heap sorts, generations, renumbering.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/stop.h"
#include "pedigree/generations.h"
#include "pedigree/heapsort.h"
#include "pedigree/renumber.h"
#include "reference/plain_pedigree.h"

namespace vm::pedigree {
namespace {

// Sorts integer keys with tags as a two-column table on column 1 and gives
// the tags in the resulting order.
std::string int_sort_tags(const std::vector<int32_t>& keys) {
  const int32_t n = static_cast<int32_t>(keys.size());
  std::vector<int32_t> ra(keys);
  for (int32_t i = 0; i < n; ++i) ra.push_back('a' + i);
  HEAPSORTINT2(n, ra.data(), 1, 2);
  std::string tags;
  for (int32_t i = 0; i < n; ++i) tags.push_back(static_cast<char>(ra[static_cast<size_t>(n + i)]));
  return tags;
}

TEST(HeapSort, OrderOfEqualKeys) {
  EXPECT_EQ(int_sort_tags({}), "");
  EXPECT_EQ(int_sort_tags({5}), "a");
  EXPECT_EQ(int_sort_tags({3, 1}), "ba");
  EXPECT_EQ(int_sort_tags({2, 1, 2, 1}), "bdca");
  EXPECT_EQ(int_sort_tags({7, 7, 7}), "bca");
  EXPECT_EQ(int_sort_tags({4, 4, 4, 4, 4}), "bcdea");
  EXPECT_EQ(int_sort_tags({1, -3, 0}), "bca");
}

TEST(HeapSort, Texts) {
  std::string ra;
  for (const char* code : {"NL", "DE", "BE", "NL", "FR"}) ra += std::string(code) + std::string(23, ' ');
  HEAPSORTCHAR(5, ra.data(), 1, 1, 25);
  std::string order;
  for (int i = 0; i < 5; ++i) order += ra.substr(static_cast<size_t>(i) * 25, 2) + ",";
  EXPECT_EQ(order, "BE,DE,FR,NL,NL,");

  // Blank before digits before upper case before lower case; 10 before 9.
  std::string t = std::string("b  ") + "A  " + " z " + "9  " + "10 ";
  HEAPSORTCHAR(5, t.data(), 1, 1, 3);
  EXPECT_EQ(t, " z 10 9  A  b  ");

  // Unsigned character codes: a byte above 127 sorts after every ASCII letter.
  std::string u = "\xe9" "a" "z";
  HEAPSORTCHAR(3, u.data(), 1, 1, 1);
  EXPECT_EQ(u, "az\xe9");
}

TEST(HeapSort, RowsMoveWholeOnAnyKeyColumn) {
  // Three columns, key in column 2; rows keep their other columns.
  std::vector<int32_t> ra = {10, 20, 30, 40, 3, 1, 2, 1, 100, 200, 300, 400};
  HEAPSORTINT2(4, ra.data(), 2, 3);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(ra[static_cast<size_t>(r)] * 10, ra[static_cast<size_t>(8 + r)]);
  EXPECT_EQ(std::vector<int32_t>(ra.begin() + 4, ra.begin() + 8), (std::vector<int32_t>{1, 1, 2, 3}));
}

TEST(HeapSort, GenerationSortMatchesTheColumnSort) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    const int32_t n = static_cast<int32_t>(rng() % 300);
    std::vector<OrigRow> rows;
    std::vector<int32_t> ra(static_cast<size_t>(2 * n));
    for (int32_t i = 0; i < n; ++i) {
      const int32_t g = static_cast<int32_t>(rng() % 6);
      rows.push_back({i + 1, g});
      ra[static_cast<size_t>(i)] = i + 1;
      ra[static_cast<size_t>(n + i)] = g;
    }
    heap_sort_on_generation(rows, no_progress());
    HEAPSORTINT2(n, ra.data(), 2, 2);
    for (int32_t i = 0; i < n; ++i) {
      ASSERT_EQ(rows[static_cast<size_t>(i)].animal, ra[static_cast<size_t>(i)]);
      ASSERT_EQ(rows[static_cast<size_t>(i)].gen, ra[static_cast<size_t>(n + i)]);
    }
  }
}

Pedigree make(const std::vector<std::pair<int32_t, int32_t>>& parents) {
  Pedigree p;
  p.n = static_cast<int32_t>(parents.size());
  p.sire.assign(1, 0);
  p.dam.assign(1, 0);
  for (auto [s, d] : parents) {
    p.sire.push_back(s);
    p.dam.push_back(d);
  }
  p.period.assign(p.sire.size(), 0);
  p.pop.assign(p.sire.size(), 0);
  return p;
}

TEST(Generations, SweepExamples) {
  // Two founders, two offspring.
  Generations g = generations_by_sweeps(make({{0, 0}, {0, 0}, {1, 2}, {2, 1}}));
  EXPECT_EQ(g.V, 2);
  EXPECT_EQ(g.angen[1], 2);
  EXPECT_EQ(g.angen[2], 2);
  // Sire in generation 1, dam in generation 3: the animal ends in 4.
  g = generations_by_sweeps(make({{0, 0}, {1, 0}, {2, 0}, {1, 3}}));
  EXPECT_EQ(g.gen, (std::vector<int32_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(g.V, 4);
  // Offspring listed before the parents.
  g = generations_by_sweeps(make({{2, 3}, {3, 0}, {0, 0}}));
  EXPECT_EQ(g.gen, (std::vector<int32_t>{0, 3, 2, 1}));
  // Own sire with a founder dam, nobody else above generation 1.
  g = generations_by_sweeps(make({{0, 0}, {2, 1}}));
  EXPECT_EQ(g.empty_generation, 2);
  EXPECT_EQ(g.gen[2], 3);
  // Mutual sires without founder descent keep generation 0.
  g = generations_by_sweeps(make({{2, 0}, {1, 0}, {0, 0}}));
  EXPECT_EQ(g.empty_generation, 0);
  EXPECT_EQ(g.gen, (std::vector<int32_t>{0, 0, 0, 1}));
}

// Random pedigrees in any number order, some with loops (with and without
// founder descent): the fast assignment equals the sweeps.
TEST(Generations, FastAssignmentEqualsSweeps) {
  std::mt19937 rng(11);
  for (int round = 0; round < 400; ++round) {
    const int32_t n = 1 + static_cast<int32_t>(rng() % 60);
    std::vector<int32_t> order(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i + 1;
    std::shuffle(order.begin(), order.end(), rng);
    // Parents earlier in `order`, then a few arbitrary links (loops).
    std::vector<std::pair<int32_t, int32_t>> parents(static_cast<size_t>(n));
    for (int32_t k = 0; k < n; ++k) {
      int32_t s = 0, d = 0;
      if (k > 0 && rng() % 4 != 0) s = order[rng() % static_cast<uint32_t>(k)];
      if (k > 0 && rng() % 3 != 0) d = order[rng() % static_cast<uint32_t>(k)];
      parents[static_cast<size_t>(order[static_cast<size_t>(k)] - 1)] = {s, d};
    }
    if (round % 3 == 0) {
      for (int extra = 0; extra < 1 + round % 4; ++extra) {
        parents[rng() % static_cast<uint32_t>(n)].first = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(n));
      }
    }
    Pedigree ped = make(parents);
    Generations slow = generations_by_sweeps(ped);
    Generations fast = assign_generation_numbers(ped);
    ASSERT_EQ(fast.gen, slow.gen) << "round " << round;
    ASSERT_EQ(fast.V, slow.V);
    ASSERT_EQ(fast.empty_generation, slow.empty_generation);
    ASSERT_EQ(fast.angen, slow.angen);
  }
}

// The sweeps that visit only the offspring of the generation just
// reached give the literal sweeps' result, on pedigrees full of loops
// through sires and dams, selfings and animals that are their own parents.
TEST(Generations, MovesEqualSweepsOnLoops) {
  std::mt19937 rng(23);
  for (int round = 0; round < 1500; ++round) {
    const int32_t n = 1 + static_cast<int32_t>(rng() % 40);
    std::vector<std::pair<int32_t, int32_t>> parents(static_cast<size_t>(n));
    for (int32_t a = 0; a < n; ++a) {
      // Mostly lower numbers, so that there are long lines; any number
      // now and then, so that there are loops.
      auto pick = [&]() -> int32_t {
        const uint32_t r = rng() % 8;
        if (r < 2 || a == 0) return r == 0 ? 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(n)) : 0;
        return 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(a));
      };
      parents[static_cast<size_t>(a)] = {pick(), pick()};
    }
    Pedigree ped = make(parents);
    Generations slow = generations_by_sweeps(ped);
    Generations moves = generations_by_moves(ped);
    ASSERT_EQ(moves.gen, slow.gen) << "round " << round;
    ASSERT_EQ(moves.V, slow.V) << "round " << round;
    ASSERT_EQ(moves.empty_generation, slow.empty_generation) << "round " << round;
    ASSERT_EQ(moves.angen, slow.angen) << "round " << round;
  }
}

// A loop beside a line of 100000 generations: the sweeps go on until the
// line ends, which must not cost n sweeps over all n animals.
TEST(Generations, LoopBesideALongLineEndsQuickly) {
  std::vector<std::pair<int32_t, int32_t>> parents = {{0, 0}};
  const int32_t line = 100000;
  for (int32_t a = 2; a <= line; ++a) parents.push_back({a - 1, 0});
  parents.push_back({line + 2, 1});  // its sire is the next, its dam the founder
  parents.push_back({line + 1, 0});
  Generations g = assign_generation_numbers(make(parents));
  EXPECT_EQ(g.gen[line + 1], line + 2);
  EXPECT_EQ(g.gen[line + 2], line + 3);
  EXPECT_EQ(g.empty_generation, line + 1);
}

TEST(Generations, LongLinesHaveNoLimit) {
  std::vector<std::pair<int32_t, int32_t>> parents = {{0, 0}};
  for (int32_t a = 2; a <= 150; ++a) parents.push_back({a - 1, 0});
  Generations g = assign_generation_numbers(make(parents));
  EXPECT_EQ(g.V, 150);
  EXPECT_EQ(g.angen[150], 1);
  EXPECT_EQ(generations_by_sweeps(make(parents)).gen, g.gen);
}

TEST(Generations, ReportAndLoopListings) {
  StringSink screen, log;
  StageLines lines_screen(screen);
  std::vector<std::string> codes = {"", "F", "X", "Y", "Z"};
  CodeOf code_of = [&](int32_t a) -> std::string_view { return codes[static_cast<size_t>(a)]; };
  assign_generations(make({{0, 0}, {0, 1}, {2, 0}, {2, 3}}), code_of, {screen, log, lines_screen});
  EXPECT_EQ(screen.data, "  Assigning generation numbers ...\n");
  EXPECT_EQ(log.data,
            "  Number of generations in pedigree is            4\n"
            "  Number of animals per generation: \n"
            "  Generation            1:            1 animals\n"
            "  Generation            2:            1 animals\n"
            "  Generation            3:            1 animals\n"
            "  Generation            4:            1 animals\n");

  // A loop of three fed by a founder.
  StringSink s2, l2;
  StageLines lines_s2(s2);
  EXPECT_THROW(assign_generations(make({{0, 0}, {4, 1}, {2, 0}, {3, 0}}), code_of, {s2, l2, lines_s2}), Stop);
  EXPECT_EQ(s2.data, "  Assigning generation numbers ...\n\n  ERROR: Generation without animals\n");
  EXPECT_EQ(l2.data,
            "  ERROR: Generation without animals\n"
            "  Possibly a non-unique number exists in the pedigree. Check the following animals:\n"
            " X Z F            5\n"
            " Y X 0            3\n"
            " Z Y 0            4\n");

  // Mutual sires with no founder: reported after the generation report.
  StringSink s3, l3;
  StageLines lines_s3(s3);
  EXPECT_THROW(assign_generations(make({{0, 0}, {3, 0}, {2, 0}, {0, 0}}), code_of, {s3, l3, lines_s3}), Stop);
  EXPECT_EQ(s3.data, "  Assigning generation numbers ...\n\n  ERROR: Loop in pedigree: animals without generation\n");
  EXPECT_NE(l3.data.find("  Generation            1:            2 animals\n"
                         "  ERROR: Loop in pedigree: animals without generation\n"
                         "  Possibly a non-unique number exists in the pedigree. Check the following animals:\n"
                         " X Y 0            0\n"
                         " Y X 0            0\n"),
            std::string::npos)
      << l3.data;
}

TEST(Renumbering, WorkedExample) {
  Pedigree r = make({{2, 3}, {0, 0}, {0, 0}, {2, 3}});
  std::vector<int32_t> gen = {0, 2, 1, 1, 2};
  r.period = {0, 11, 12, 13, 14};
  r.pop = {0, 21, 22, 23, 24};
  StringSink screen;
  StageLines lines(screen);
  renumber(r, gen, lines);
  EXPECT_EQ(screen.data, "  Sorting pedigree on generation number ...\n  Updating links ...\n");
  EXPECT_EQ(r.n, 4);
  EXPECT_EQ(r.loaded_as, (std::vector<int32_t>{0, 2, 3, 4, 1}));
  EXPECT_EQ(r.sire, (std::vector<int32_t>{0, 0, 0, 1, 1}));
  EXPECT_EQ(r.dam, (std::vector<int32_t>{0, 0, 0, 2, 2}));
  EXPECT_EQ(r.period, (std::vector<int32_t>{0, 12, 13, 14, 11}));
  EXPECT_EQ(r.pop, (std::vector<int32_t>{0, 22, 23, 24, 21}));
}

TEST(Renumbering, ParentsComeFirstOnRandomPedigrees) {
  std::mt19937 rng(5);
  for (int round = 0; round < 100; ++round) {
    const int32_t n = 1 + static_cast<int32_t>(rng() % 200);
    std::vector<std::pair<int32_t, int32_t>> parents(static_cast<size_t>(n));
    // Offspring first in loading order: parents have higher numbers.
    for (int32_t a = 1; a <= n; ++a) {
      int32_t s = a < n && rng() % 3 ? a + 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(n - a)) : 0;
      int32_t d = a < n && rng() % 3 ? a + 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(n - a)) : 0;
      parents[static_cast<size_t>(a - 1)] = {s, d};
    }
    const Pedigree ped = make(parents);
    Generations g = assign_generation_numbers(ped);
    Pedigree r = ped;
    renumber(r, g.gen, no_progress());
    std::vector<int32_t> new_of_old(static_cast<size_t>(n) + 1, 0);
    for (int32_t w = 1; w <= n; ++w) {
      ASSERT_EQ(new_of_old[r.loaded_as[w]], 0) << "two animals with one old number";
      new_of_old[r.loaded_as[w]] = w;
    }
    for (int32_t w = 1; w <= n; ++w) {
      ASSERT_LT(r.sire[w], w);
      ASSERT_LT(r.dam[w], w);
      const int32_t old_sire = ped.sire[r.loaded_as[w]];
      ASSERT_EQ(r.sire[w], old_sire == 0 ? 0 : new_of_old[old_sire]);
    }
  }
}

// The arrays are rearranged in pieces on several workers: every entry,
// those at the pieces' ends included, as the new order has it, and the
// same new order on any number of workers.
TEST(Renumbering, AnyNumberOfWorkersRearrangesEveryEntry) {
  for (const int32_t n : {1, 65'536, 65'537, 150'001}) {  // one piece, one whole, one more, a short last one
    std::mt19937 rng(7);
    std::vector<std::pair<int32_t, int32_t>> parents(static_cast<size_t>(n));
    for (int32_t a = 1; a <= n; ++a) {
      const auto later = [&] {
        return a < n && rng() % 4 ? a + 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(std::min(n - a, 5000)))
                                  : 0;
      };
      parents[static_cast<size_t>(a - 1)] = {later(), later()};
    }
    Pedigree ped = make(parents);
    for (int32_t a = 1; a <= n; ++a) ped.period[a] = a % 7 + 1, ped.pop[a] = a % 3 + 1;
    const Generations g = assign_generation_numbers(ped);
    Pedigree one = ped;
    renumber(one, g.gen, no_progress(), 1);
    for (unsigned workers : {1u, 2u, 3u}) {
      Pedigree r = ped;
      renumber(r, g.gen, no_progress(), workers);
      ASSERT_EQ(r.loaded_as, one.loaded_as) << n << " animals, " << workers << " workers";
      std::vector<int32_t> seen(static_cast<size_t>(n) + 1, 0);
      const std::vector<int32_t> new_of_old = new_of_loaded(r);
      auto renumbered = [&](int32_t old) { return old == 0 ? 0 : new_of_old[static_cast<size_t>(old)]; };
      for (int32_t w = 1; w <= n; ++w) {
        const int32_t a = r.loaded_as[w];
        ASSERT_TRUE(a >= 1 && a <= n && ++seen[static_cast<size_t>(a)] == 1) << n << " animals, new " << w;
        ASSERT_EQ(r.sire[w], renumbered(ped.sire[a])) << workers << " workers, animal " << w;
        ASSERT_EQ(r.dam[w], renumbered(ped.dam[a])) << workers << " workers, animal " << w;
        ASSERT_EQ(r.period[w], ped.period[a]) << workers << " workers, animal " << w;
        ASSERT_EQ(r.pop[w], ped.pop[a]) << workers << " workers, animal " << w;
      }
    }
  }
}

}  // namespace
}  // namespace vm::pedigree
