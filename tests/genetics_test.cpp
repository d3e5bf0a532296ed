#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "genetics/diversity.h"
#include "genetics/genetics.h"
#include "genetics/inbreed_methods.h"
#include "reference/plain_diversity.h"
#include "reference/plain_genetics.h"

namespace vm::genetics {
namespace {

// The inbreeding's count lines as the classic screen shows them.
struct CountLines : Progress {
  StringSink out;
  StageLines lines{out};
  std::string& data = out.data;
  CountLines() {
    lines.stage("inbreeding", 0);
    out.data.clear();
  }
  void stage(std::string_view, int64_t) override {}
  void advance(int64_t units) override { lines.advance(units); }
};

// A pedigree built animal by animal, parents first.
struct PedBuilder {
  Pedigree ped;
  PedBuilder() {
    ped.sire.push_back(0);
    ped.dam.push_back(0);
    ped.period.push_back(0);
    ped.pop.push_back(0);
  }
  int32_t add(int32_t sire, int32_t dam, int32_t period = 0, int32_t pop = 0) {
    ped.sire.push_back(sire);
    ped.dam.push_back(dam);
    ped.period.push_back(period);
    ped.pop.push_back(pop);
    return ++ped.n;
  }
};

Names make_names(int32_t Q, int32_t P) {
  Names names{{""}, {""}};
  for (int32_t I = 1; I <= Q; ++I) names.pop.push_back(std::string(1, 'P').append(std::to_string(I)));
  for (int32_t a = 1; a <= P; ++a) names.period.push_back(std::string(1, 'T').append(std::to_string(a)));
  return names;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same_bits(const std::vector<double>& a, const std::vector<double>& b, const char* what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (size_t i = 0; i < a.size(); ++i) ASSERT_TRUE(same_bits(a[i], b[i])) << what << " at " << i << ": " << a[i] << " vs " << b[i];
}

// Random pedigrees with founders, parents without records (period and
// population 0), missing parents, selfing, sibs listed sire/dam and
// dam/sire, and parents from a recent window so that pairs recur and
// inbreeding builds up. Population Q never has animals in period 1.
Pedigree random_pedigree(uint32_t seed, int32_t n, int32_t Q, int32_t P, int32_t window) {
  std::mt19937 rng(seed);
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  PedBuilder b;
  for (int32_t i = 1; i <= n; ++i) {
    int32_t sire = 0, dam = 0;
    if (i > 1 && !chance(0.1)) {
      std::uniform_int_distribution<int32_t> pick(std::max(1, i - window), i - 1);
      sire = pick(rng);
      dam = chance(0.05) ? sire : pick(rng);
      if (chance(0.1)) (chance(0.5) ? sire : dam) = 0;
      if (chance(0.5)) std::swap(sire, dam);
    }
    int32_t period = 0, pop = 0;
    if (!chance(0.15)) {
      period = std::uniform_int_distribution<int32_t>(1, P)(rng);
      pop = std::uniform_int_distribution<int32_t>(1, Q)(rng);
      if (period == 1 && pop == Q && Q > 1) pop = 1;
    }
    b.add(sire, dam, period, pop);
  }
  return b.ped;
}

// Generations of `size` animals with parents from the generation before
// (a few of them unknown or selfed), as the sort on generation leaves them.
Pedigree generational_pedigree(uint32_t seed, int32_t generations, int32_t size) {
  std::mt19937 rng(seed);
  PedBuilder b;
  for (int32_t g = 0; g < generations; ++g) {
    const int32_t first_of_previous = (g - 1) * size + 1;
    std::uniform_int_distribution<int32_t> pick(first_of_previous, first_of_previous + size - 1);
    for (int32_t k = 0; k < size; ++k) {
      int32_t sire = g == 0 ? 0 : pick(rng), dam = g == 0 ? 0 : pick(rng);
      if (rng() % 20 == 0) dam = rng() % 2 ? 0 : sire;
      b.add(sire, dam, 1 + g % 3, 1 + k % 2);
    }
  }
  return b.ped;
}

// The relationship matrix by the tabular method, entries (0..n)^2.
std::vector<std::vector<double>> tabular_A(const Pedigree& ped) {
  const int32_t n = ped.n;
  std::vector<std::vector<double>> A(n + 1, std::vector<double>(n + 1, 0.0));
  for (int32_t i = 1; i <= n; ++i) {
    const int32_t s = ped.sire[i], d = ped.dam[i];
    for (int32_t j = 1; j < i; ++j) A[i][j] = A[j][i] = 0.5 * (A[j][s] + A[j][d]);
    A[i][i] = 1.0 + (s != 0 && d != 0 ? 0.5 * A[s][d] : 0.0);
  }
  return A;
}

// ---------------------------------------------------------------- inbreeding

TEST(Inbreeding, FoundersAndOneKnownParent) {
  PedBuilder b;
  const int32_t s = b.add(0, 0), d = b.add(0, 0);
  const int32_t x = b.add(s, d), y = b.add(s, d);
  const int32_t inbred = b.add(x, y);  // F = 0.25
  const int32_t by_sire = b.add(inbred, 0), by_dam = b.add(0, inbred);
  NullSink screen;
  for (const Inbreeding& r : {INBREED(b.ped, no_progress()), inbreeding_plain(b.ped, screen)}) {
    EXPECT_EQ(r.D[s], 1.0);
    EXPECT_EQ(r.F[s], 0.0);
    EXPECT_EQ(r.D[x], 0.5);
    EXPECT_EQ(r.F[x], 0.0);
    EXPECT_EQ(r.F[inbred], 0.25);
    EXPECT_EQ(r.D[by_sire], 0.75 - 0.25 * 0.25);
    EXPECT_EQ(r.D[by_dam], 0.75 - 0.25 * 0.25);
    EXPECT_EQ(r.F[by_sire], 0.0);
    EXPECT_EQ(r.D[0], 0.0);
  }
}

TEST(Inbreeding, SelfingAndFullSibsInEitherOrder) {
  PedBuilder b;
  const int32_t s = b.add(0, 0), d = b.add(0, 0);
  const int32_t x = b.add(s, d), y = b.add(d, s);  // full sibs, dam/sire swapped
  const int32_t k1 = b.add(x, y), k2 = b.add(y, x);
  const int32_t self_founder = b.add(s, s);
  const int32_t k3 = b.add(y, x);                  // the pair again, not consecutive
  const int32_t self_inbred = b.add(k1, k1);
  NullSink screen;
  for (const Inbreeding& r : {INBREED(b.ped, no_progress()), inbreeding_plain(b.ped, screen)}) {
    EXPECT_EQ(r.F[y], 0.0);
    EXPECT_EQ(r.D[y], 0.5);
    EXPECT_EQ(r.F[k1], 0.25);
    EXPECT_EQ(r.F[k2], 0.25);
    EXPECT_EQ(r.F[k3], 0.25);
    EXPECT_EQ(r.F[self_founder], 0.5);
    EXPECT_EQ(r.F[self_inbred], 0.5 * (1.0 + 0.25));
    EXPECT_EQ(r.D[self_inbred], 0.5 - 0.25 * (0.25 + 0.25));
  }
}

TEST(Inbreeding, NoAnimalsWritesNothing) {
  PedBuilder b;
  CountLines screen;
  EXPECT_EQ(INBREED(b.ped, no_progress()).D, std::vector<double>{0.0});
  EXPECT_EQ(INBREED_plain(b.ped, screen.out), std::vector<double>{0.0});
  EXPECT_EQ(screen.data, "");
}

TEST(Inbreeding, ProgressEveryThousandthAnimal) {
  PedBuilder b;
  for (int i = 0; i < 2500; ++i) b.add(0, 0);
  CountLines fast;
  StringSink plain;
  INBREED(b.ped, fast);
  INBREED_plain(b.ped, plain);
  EXPECT_EQ(fast.data, "         1000\n         2000\n");
  EXPECT_EQ(plain.data, fast.data);
}

// The largest |a[i] - b[i]|.
double max_difference(const std::vector<double>& a, const std::vector<double>& b) {
  EXPECT_EQ(a.size(), b.size());
  double worst = 0.0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

void expect_agrees(const Inbreeding& r, const std::string& screen, const Inbreeding& plain,
                   const std::string& plain_screen, const std::string& what) {
  EXPECT_LE(max_difference(r.F, plain.F), 1e-12) << what;
  EXPECT_LE(max_difference(r.D, plain.D), 1e-12) << what;
  EXPECT_EQ(r.F[0], -1.0) << what;
  EXPECT_EQ(r.D[0], 0.0) << what;
  EXPECT_EQ(screen, plain_screen) << what;
}

// Both computations, and the choice between them, agree with the literal
// walk; the indirect one gives the same bits on one worker or several.
void expect_methods_agree(const Pedigree& ped, const std::string& what) {
  StringSink plain_screen;
  CountLines chosen_screen, living_screen;
  const Inbreeding plain = inbreeding_plain(ped, plain_screen);
  expect_agrees(INBREED(ped, chosen_screen), chosen_screen.data, plain, plain_screen.data, what + ", chosen");
  CountLines one_screen;
  const Inbreeding one = inbreeding_indirect(ped, one_screen, 1);
  expect_agrees(one, one_screen.data, plain, plain_screen.data, what + ", indirect");
  CountLines three_screen;
  const Inbreeding three = inbreeding_indirect(ped, three_screen, 3);
  expect_same_bits(three.F, one.F, "F on three workers");
  expect_same_bits(three.D, one.D, "D on three workers");
  const LivePlan plan = plan_living(ped, 1 << 14);
  ASSERT_TRUE(plan.fits) << what;
  expect_agrees(inbreeding_living(ped, plan, living_screen), living_screen.data, plain, plain_screen.data,
                what + ", living parents");
  const Inbreeding living = inbreeding_living(ped, plan, no_progress(), 1),
                   shared = inbreeding_living(ped, plan, no_progress(), 3);
  expect_same_bits(shared.F, living.F, "F of the living parents on three workers");
  const Inbreeding eager = inbreeding_living_plain(ped);
  expect_same_bits(living.F, eager.F, "F of the living parents against every row kept up to date");
  expect_same_bits(living.D, eager.D, "D of the living parents against every row kept up to date");
}

// Every parent with a single mate, each couple with several offspring.
TEST(Inbreeding, SingleMatesAgreeWithPlain) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    PedBuilder b;
    std::vector<int32_t> previous;
    for (int32_t k = 0; k < 300; ++k) previous.push_back(b.add(0, 0));
    for (int g = 0; g < 10; ++g) {
      std::shuffle(previous.begin(), previous.end(), rng);
      std::vector<int32_t> next;
      for (size_t k = 0; k + 1 < previous.size(); k += 2)
        for (uint32_t kid = 0; kid < 1 + rng() % 4; ++kid) next.push_back(b.add(previous[k], previous[k + 1]));
      if (previous.size() % 2 == 1) next.push_back(b.add(previous.back(), previous.back()));  // selfing: its one mate
      previous = next;
    }
    expect_methods_agree(b.ped, "single mates");
  }
}

TEST(Inbreeding, AgreesWithTabularRelationships) {
  NullSink screen;
  for (uint32_t seed = 20; seed < 24; ++seed) {
    const Pedigree ped = random_pedigree(seed, 250, 2, 2, 12);
    const auto A = tabular_A(ped);
    const Inbreeding r = INBREED(ped, no_progress());
    for (int32_t i = 1; i <= ped.n; ++i) ASSERT_NEAR(r.F[i], A[i][i] - 1.0, 1e-12) << i;
  }
}

// One parent mated to itself, its full sister, its dam, a half sister and
// an outsider: every kind of relationship comes from the same pass over
// its ancestors, the outsider below all of them.
TEST(Inbreeding, RelatesOneParentToAllItsMates) {
  PedBuilder b;
  const int32_t outsider = b.add(0, 0);
  const int32_t s = b.add(0, 0), d = b.add(0, 0), d2 = b.add(0, 0);
  const int32_t sister = b.add(s, d), half = b.add(s, d2);
  const int32_t p = b.add(s, d);
  const int32_t by_self = b.add(p, p), by_sister = b.add(sister, p), by_dam = b.add(p, d);
  const int32_t by_half = b.add(half, p), by_outsider = b.add(p, outsider), again = b.add(p, sister);
  const int32_t grand = b.add(by_self, by_sister);  // a = 0.5 (a(p, p) + a(p, sister)) = 0.75
  NullSink screen;
  for (const Inbreeding& r : {inbreeding_indirect(b.ped, no_progress(), 1),
                              inbreeding_living(b.ped, plan_living(b.ped, 100), no_progress())}) {
    EXPECT_EQ(r.F[by_self], 0.5);
    EXPECT_EQ(r.F[by_sister], 0.25);
    EXPECT_EQ(r.F[again], 0.25);
    EXPECT_EQ(r.F[by_dam], 0.25);
    EXPECT_EQ(r.F[by_half], 0.125);
    EXPECT_EQ(r.F[by_outsider], 0.0);
    EXPECT_DOUBLE_EQ(r.F[grand], 0.375);
    EXPECT_EQ(r.D[grand], 0.5 - 0.25 * (0.5 + 0.25));
  }
  expect_methods_agree(b.ped, "one parent");
}

TEST(Inbreeding, IndirectAgreesWithPlainOnRandomPedigrees) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    const Pedigree ped = random_pedigree(seed, 300 + 250 * static_cast<int32_t>(seed), 3, 2, 5 + 10 * (seed % 4));
    expect_methods_agree(ped, "random");
  }
  // Few parents with many mates each, as in herds with popular sires.
  for (uint32_t seed = 30; seed < 34; ++seed) {
    std::mt19937 rng(seed);
    PedBuilder b;
    for (int32_t i = 1; i <= 3000; ++i) {
      if (i <= 40) {
        b.add(0, 0);
        continue;
      }
      const int32_t low = std::max(1, i - 400);
      int32_t sire = low + static_cast<int32_t>(rng() % 8) * 3, dam = low + static_cast<int32_t>(rng() % static_cast<uint32_t>(i - low));
      if (rng() % 30 == 0) dam = sire;
      if (rng() % 25 == 0) dam = 0;
      b.add(sire, dam);
    }
    expect_methods_agree(b.ped, "popular sires");
  }
  expect_methods_agree(generational_pedigree(5, 12, 400), "generations");
}

// A sire used over many generations on his own daughters, granddaughters
// and their daughters, beside other sires, in three populations: his early
// offspring are parents (and their F needed) long before his last mates
// are born, yet all his pairs are related in one group.
TEST(Inbreeding, SireUsedOnHisOwnDescendantsOverGenerations) {
  for (uint32_t seed = 40; seed < 43; ++seed) {
    std::mt19937 rng(seed);
    PedBuilder b;
    const int32_t old_sire = b.add(0, 0, 1, 1);
    std::vector<int32_t> dams;
    for (int32_t k = 0; k < 30; ++k) dams.push_back(b.add(0, 0, 1, 1 + k % 3));
    for (int32_t i = 0; i < 1500; ++i) {
      const int32_t dam = dams[rng() % dams.size()];
      const int32_t sire = rng() % 3 == 0 ? old_sire : dams[rng() % dams.size()];
      const int32_t kid = b.add(sire, rng() % 40 == 0 ? 0 : dam, 1 + i % 4, 1 + static_cast<int32_t>(rng() % 3));
      if (rng() % 2 == 0) dams.push_back(kid);
    }
    expect_methods_agree(b.ped, "a sire on his descendants");
  }
}

TEST(Inbreeding, SameBitsOnAnyNumberOfThreads) {
  const Pedigree ped = generational_pedigree(7, 12, 600);
  CountLines one_screen;
  const Inbreeding one = inbreeding_indirect(ped, one_screen, 1);
  for (unsigned threads : {2u, 3u, 8u}) {
    CountLines screen;
    const Inbreeding r = inbreeding_indirect(ped, screen, threads);
    expect_same_bits(r.F, one.F, "F");
    expect_same_bits(r.D, one.D, "D");
    EXPECT_EQ(screen.data, one_screen.data);
  }
  expect_methods_agree(ped, "generations, threads");
}

// The indirect computation walks once for a group of up to 64 hubs and
// sums for each 8 of them over what their walk alone reaches: the same
// bits as groups of 8, however the hubs fall into groups. The herds have
// hundreds of hubs per stage, mates shared by hubs of several chunks,
// hubs that are mates of other hubs, selfing and unknown dams.
TEST(Inbreeding, IndirectGroupsOfAnySizeGiveTheSameBits) {
  std::vector<std::pair<std::string, Pedigree>> cases;
  cases.emplace_back("generations", generational_pedigree(60, 8, 1500));
  cases.emplace_back("random", random_pedigree(61, 6000, 3, 4, 900));
  for (uint32_t seed = 62; seed < 64; ++seed) {
    // Cows of overlapping generations, each by one of the 300 youngest
    // males (odd numbers), a few selfed (the dam as sire as well).
    std::mt19937 rng(seed);
    PedBuilder b;
    for (int32_t i = 1; i <= 8000; ++i) {
      if (i <= 400) {
        b.add(0, 0);
        continue;
      }
      const int32_t low = std::max(1, i - 2500);
      std::uniform_int_distribution<int32_t> any(low, i - 1), young(std::max(low, i - 600), i - 1);
      const int32_t dam = rng() % 12 == 0 ? 0 : any(rng);
      const int32_t sire = rng() % 40 == 0 && dam != 0 ? dam : young(rng) | 1;  // odd: a male
      b.add(std::min(sire, i - 1), dam);
    }
    cases.emplace_back("herd " + std::to_string(seed), b.ped);
  }
  for (const auto& [what, ped] : cases) {
    const Inbreeding eight = inbreeding_indirect(ped, no_progress(), 1, 8);
    for (const auto& [workers, hubs] : {std::pair{1u, 128}, std::pair{1u, 24}, std::pair{2u, 64}, std::pair{2u, 128}, std::pair{3u, 40}}) {
      const Inbreeding r = inbreeding_indirect(ped, no_progress(), workers, hubs);
      expect_same_bits(r.F, eight.F, (what + ", F").c_str());
      expect_same_bits(r.D, eight.D, (what + ", D").c_str());
    }
    StringSink screen;
    EXPECT_LE(max_difference(eight.F, inbreeding_plain(ped, screen).F), 1e-12) << what;
  }
}

// Overlapping generations: sires kept for up to `sire_span` generations,
// dams for up to 4, some of them only ever used in their first and their
// last. Rows stay in use over many joins and are read only now and then,
// and some are given up with joins they never took in.
TEST(Inbreeding, RowsReadOnlyNowAndThenKeepTheirBits) {
  for (const auto& [seed, sire_span, size] : {std::tuple{50u, 3, 150}, {51u, 12, 300}, {52u, 25, 200}}) {
    std::mt19937 rng(seed);
    PedBuilder b;
    std::vector<std::vector<int32_t>> born(1);
    for (int32_t k = 0; k < size; ++k) born[0].push_back(b.add(0, 0));
    for (int32_t g = 1; g < 40; ++g) {
      born.emplace_back();
      auto from = [&](int32_t span) {
        const int32_t back = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(std::min(g, span)));
        const std::vector<int32_t>& cohort = born[static_cast<size_t>(g - back)];
        // the first few of a cohort are its long-used sires
        return cohort[rng() % (back > 4 ? 8 : cohort.size())];
      };
      for (int32_t k = 0; k < size; ++k) {
        const int32_t sire = from(sire_span), dam = rng() % 30 == 0 ? 0 : from(4);
        born.back().push_back(b.add(sire, dam, 1 + g % 5, 1));
      }
    }
    const std::string what = "overlapping generations " + std::to_string(seed);
    const LivePlan plan = plan_living(b.ped, 1 << 14);
    ASSERT_TRUE(plan.fits) << what;
    const Inbreeding eager = inbreeding_living_plain(b.ped);
    for (unsigned workers : {1u, 3u}) {
      const Inbreeding lazy = inbreeding_living(b.ped, plan, no_progress(), workers);
      expect_same_bits(lazy.F, eager.F, what.c_str());
      expect_same_bits(lazy.D, eager.D, what.c_str());
    }
  }
}

// Full-sib mating for 1500 generations: F goes towards 1, D towards 0, and
// the halves passed to early ancestors underflow to zero.
TEST(Inbreeding, AgreesOnDeepLines) {
  PedBuilder b;
  int32_t x = b.add(0, 0), y = b.add(0, 0);
  for (int g = 0; g < 1500; ++g) {
    const int32_t nx = b.add(x, y), ny = b.add(y, x);
    if (g % 7 == 0) b.add(nx, x);  // a backcross on the side: a second mate of nx
    if (g % 11 == 0) b.add(ny, ny);
    if (g % 13 == 0) b.add(nx, 0);
    x = nx;
    y = ny;
  }
  expect_methods_agree(b.ped, "deep");
  NullSink screen;
  EXPECT_GT(INBREED(b.ped, no_progress()).F[static_cast<size_t>(x)], 0.999);
}

// A sire's son by his own daughter (whose dam is unknown) is the next sire,
// for 3000 generations: inbred in every generation, and three parents
// alive at any time, however deep the line.
TEST(Inbreeding, InbredLineKeepsFewLivingParents) {
  PedBuilder b;
  int32_t sire = b.add(0, 0);
  for (int g = 0; g < 3000; ++g) {
    const int32_t daughter = b.add(sire, 0);
    sire = b.add(sire, daughter);
  }
  const LivePlan plan = plan_living(b.ped, 3);
  EXPECT_TRUE(plan.fits);
  EXPECT_EQ(plan.slots, 3);
  EXPECT_FALSE(plan_living(b.ped, 2).fits);
  expect_methods_agree(b.ped, "inbred line");
  NullSink screen;
  const Inbreeding r = INBREED(b.ped, no_progress());
  EXPECT_EQ(r.F[3], 0.25);
  EXPECT_NEAR(r.F[static_cast<size_t>(sire)], 1.0 / 3.0, 1e-12);  // the line's limit
}

// Populations kept apart, their animals interleaved in the numbering as
// a file sorted on birth leaves them: each population takes parents from
// its own recent animals only (some selfed, some unknown); population k
// has k + 1 times `size` animals, so their matrices differ in size.
Pedigree closed_populations(uint32_t seed, int32_t pops, int32_t size, int32_t window) {
  std::mt19937 rng(seed);
  PedBuilder b;
  std::vector<std::vector<int32_t>> members(static_cast<size_t>(pops));
  std::vector<int32_t> left;
  for (int32_t k = 0; k < pops; ++k) left.push_back((k + 1) * size);
  for (int32_t remaining = pops; remaining > 0;) {
    const auto k = static_cast<size_t>(rng() % static_cast<uint32_t>(pops));
    if (left[k] == 0) continue;
    if (--left[k] == 0) --remaining;
    std::vector<int32_t>& own = members[k];
    int32_t sire = 0, dam = 0;
    if (own.size() > 4 && rng() % 10 != 0) {
      const size_t low = own.size() > static_cast<size_t>(window) ? own.size() - static_cast<size_t>(window) : 0;
      auto pick = [&] { return own[low + rng() % (own.size() - low)]; };
      sire = pick();
      dam = rng() % 25 == 0 ? sire : rng() % 20 == 0 ? 0 : pick();
    }
    own.push_back(b.add(sire, dam, 1, static_cast<int32_t>(k) + 1));
  }
  return b.ped;
}

TEST(Inbreeding, FamiliesJoinedThroughAnyParentOrOffspring) {
  PedBuilder b;
  const int32_t a = b.add(0, 0), c = b.add(0, 0), lone = b.add(0, 0), e = b.add(0, 0);
  const int32_t kid = b.add(e, 0);           // e's family, one parent unknown
  const int32_t selfed = b.add(kid, kid);    // still e's family
  const int32_t joint = b.add(c, a);         // joins a and c, numbered after both
  const int32_t later = b.add(0, 0);
  b.add(later, selfed);                      // joins later with e's family
  const Families f = find_families(b.ped);
  EXPECT_EQ(f.count, 3);
  EXPECT_EQ(f.of[0], -1);
  EXPECT_EQ(f.of[a], 0);
  EXPECT_EQ(f.of[c], 0);
  EXPECT_EQ(f.of[joint], 0);
  EXPECT_EQ(f.of[lone], 1);
  for (int32_t x : {e, kid, selfed, later, b.ped.n}) EXPECT_EQ(f.of[x], 2) << x;
  std::vector<int32_t> peaks;
  for (const LivingCost& c : living_costs(b.ped, f)) peaks.push_back(c.peak);
  EXPECT_EQ(peaks, (std::vector<int32_t>{2, 0, 3}));  // lone has no offspring; e's: later, selfed, and kid before it
}

// However the families are split between the two methods and packed into
// parts, every animal gets the value of the literal walk, and the bits its
// method gives it in the whole pedigree, on any number of workers.
TEST(Inbreeding, FamiliesApartAgreeWithPlainAndWholePedigree) {
  const struct {
    const char* what;
    PartLimits limits;
  } splits[] = {
      {"every family its own matrix", {1 << 14, 1 << 14, 1}},
      {"families packed into parts", {1 << 14, 1 << 14, 600}},
      {"the large families indirect", {60, 60, 1}},
      {"the large families indirect, the rest packed", {60, 60, 100000}},
      {"the large families by their cost", {60, 1 << 14, 1}},
      {"every family indirect", {0, 0, 1}},
  };
  const Pedigree peds[] = {closed_populations(3, 4, 300, 40), closed_populations(4, 6, 150, 400),
                           closed_populations(5, 3, 500, 12)};
  for (const Pedigree& ped : peds) {
    StringSink plain_screen;
    const Inbreeding plain = inbreeding_plain(ped, plain_screen);
    const Inbreeding living = inbreeding_living(ped, plan_living(ped, 1 << 14), no_progress());
    const Inbreeding indirect = inbreeding_indirect(ped, no_progress(), 1);
    for (const auto& split : splits) {
      CountLines screen;
      const Inbreeding r = inbreeding_by_families(ped, screen, 1, split.limits);
      expect_agrees(r, screen.data, plain, plain_screen.data, split.what);
      for (int32_t i = 1; i <= ped.n; ++i)
        ASSERT_TRUE(same_bits(r.F[i], living.F[i]) || same_bits(r.F[i], indirect.F[i])) << split.what << " " << i;
      const Inbreeding shared = inbreeding_by_families(ped, screen, 3, split.limits);
      expect_same_bits(shared.F, r.F, split.what);
      expect_same_bits(shared.D, r.D, split.what);
      // The whole pedigree's indirect plan made alongside: taken or dropped.
      PartLimits ahead = split.limits;
      ahead.plan_ahead_animals = 1;
      const Inbreeding planned = inbreeding_by_families(ped, screen, 3, ahead);
      expect_same_bits(planned.F, r.F, split.what);
      expect_same_bits(planned.D, r.D, split.what);
    }
  }
}

// Random mating of both sexes in closed cohorts, both parents from the
// cohort before: in all more living parents than the matrix may hold, in
// each population fewer.
TEST(Inbreeding, CohortsPastTheLimitInAllButNotPerPopulation) {
  std::mt19937 rng(9);
  PedBuilder b;
  constexpr int32_t kPops = 3, kCohort = 60;
  std::vector<std::vector<int32_t>> previous(kPops), next(kPops);
  for (int32_t year = 0; year < 12; ++year) {
    for (int32_t k = 0; k < kPops * kCohort; ++k) {
      const auto pop = static_cast<size_t>(k % kPops);
      const std::vector<int32_t>& parents = previous[pop];
      const int32_t sire = parents.empty() ? 0 : parents[rng() % parents.size()];
      const int32_t dam = parents.empty() ? 0 : parents[rng() % parents.size()];
      next[pop].push_back(b.add(sire, dam, year + 1, static_cast<int32_t>(pop) + 1));
    }
    std::swap(previous, next);
    for (auto& v : next) v.clear();
  }
  const Families f = find_families(b.ped);
  int32_t largest = 0;
  for (const LivingCost& c : living_costs(b.ped, f)) largest = std::max(largest, c.peak);
  const int32_t all = plan_living(b.ped, 1 << 14).slots;
  EXPECT_GT(all, 2 * largest);
  StringSink plain_screen;
  CountLines screen;
  const Inbreeding plain = inbreeding_plain(b.ped, plain_screen);
  expect_agrees(inbreeding_by_families(b.ped, screen, 2, {largest, largest, 1}), screen.data, plain,
                plain_screen.data, "cohorts");
}

// Past the matrix's fixed limit the choice follows the estimated work:
// random mating in cohorts takes the matrix (the indirect computation
// follows nearly every ancestor for every group), a few sires used over
// many generations in a large herd the indirect computation; either way
// the values agree with the literal walk.
TEST(Inbreeding, PastTheFixedLimitTheCheaperMethod) {
  const Pedigree mating = generational_pedigree(8, 30, 200);
  PedBuilder herd;
  std::mt19937 rng(12);
  for (int32_t i = 1; i <= 3000; ++i) {
    const int32_t low = std::max(1, i - 600);
    const bool founder = i <= 40;
    herd.add(founder ? 0 : low + static_cast<int32_t>(rng() % 4),
             founder ? 0 : low + static_cast<int32_t>(rng() % static_cast<uint32_t>(i - low)));
  }
  const struct {
    const char* what;
    const Pedigree& ped;
    bool living;
  } cases[] = {{"random mating", mating, true}, {"popular sires", herd.ped, false}};
  for (const auto& c : cases) {
    const Families f = find_families(c.ped);
    const int32_t main = f.of[static_cast<size_t>(c.ped.n)];  // all but a few founders without offspring
    const LivingCost cost = living_costs(c.ped, f)[static_cast<size_t>(main)];
    EXPECT_EQ(cost.work < 4 * indirect_works(c.ped, f)[static_cast<size_t>(main)], c.living) << c.what << ": " << cost.work;
    const Inbreeding expected =
        c.living ? inbreeding_living(c.ped, plan_living(c.ped, 1 << 14), no_progress()) : inbreeding_indirect(c.ped, no_progress(), 1);
    StringSink plain_screen;
    CountLines screen;
    const Inbreeding r = inbreeding_by_families(c.ped, screen, 1, {cost.peak - 1, 1 << 14, 1});
    expect_same_bits(r.F, expected.F, c.what);
    expect_agrees(r, screen.data, inbreeding_plain(c.ped, plain_screen), plain_screen.data, c.what);
  }
}

// Founders without a record are numbered first, and animals with unknown
// parents early, whatever their offspring's place: their rows are taken
// only just before their first offspring, so a line with a new outside
// founder in every generation still keeps few rows.
TEST(Inbreeding, LivingRowsTakenJustBeforeTheFirstOffspring) {
  PedBuilder b;
  std::vector<int32_t> outsiders;
  for (int g = 0; g < 400; ++g) outsiders.push_back(b.add(0, 0));
  std::vector<int32_t> line{b.add(0, 0), b.add(0, 0)};
  for (int g = 0; g < 400; ++g) {
    const int32_t son = b.add(line[0], line[1]);
    const int32_t daughter = b.add(outsiders[static_cast<size_t>(g)], line[1]);
    line = {son, daughter};
  }
  const LivePlan plan = plan_living(b.ped, 1000);
  ASSERT_TRUE(plan.fits);
  EXPECT_LE(plan.slots, 6);
  expect_methods_agree(b.ped, "outside founders");
}

// -------------------------------------------------------------- contributions

TEST(Contributions, HalvesPassedToBothParentsAndTwiceOnSelfing) {
  PedBuilder b;
  const int32_t s = b.add(0, 0), d = b.add(0, 0);
  const int32_t x = b.add(s, d, 1, 1);
  b.add(x, x, 1, 2);
  b.add(s, d, 1, 1);
  auto contributions = [&](int32_t I) {
    std::vector<int32_t> members(static_cast<size_t>(b.ped.n) + 1, 0);
    for (int32_t c = 1; c <= b.ped.n; ++c) members[c] = b.ped.period[c] == 1 && b.ped.pop[c] == I;
    return CALCL_plain(b.ped, members);
  };
  // Population 1: x and its sib; population 2: the selfed offspring of x.
  const std::vector<double> first = contributions(1), second = contributions(2);
  EXPECT_EQ(first[s], 1.0);
  EXPECT_EQ(first[x], 1.0);
  EXPECT_EQ(second[x], 1.0);
  EXPECT_EQ(second[s], 0.5);
  EXPECT_EQ(second[d], 0.5);
}

// ---------------------------------------------------------------- drift

// Founder groups of 4 (unrelated: drift = max = 2/N), and two full sibs in
// two populations (relationship 0.5 between them).
TEST(Drift, FiguresOfUnrelatedGroupsAndOfFullSibs) {
  PedBuilder b;
  for (int i = 0; i < 8; ++i) b.add(0, 0, 1, 1 + i / 4);
  const int32_t s = b.add(0, 0), d = b.add(0, 0);
  b.add(s, d, 2, 1);
  b.add(d, s, 2, 2);
  NullSink sink;
  const DriftResults r = drift_per_period(b.ped, INBREED(b.ped, no_progress()).D, make_names(2, 2), {sink, sink});
  EXPECT_EQ(r.get(r.mean_relationship, 1, 1, 1), 0.25);
  EXPECT_EQ(r.get(r.mean_relationship, 2, 1, 1), 0.0);
  EXPECT_EQ(r.get(r.driftvar, 2, 1, 1), 0.5);
  EXPECT_EQ(r.get(r.maxdriftvar, 2, 1, 1), 0.5);
  EXPECT_EQ(r.get(r.index, 2, 1, 1), 100.0);
  EXPECT_EQ(r.get(r.mean_relationship, 1, 2, 2), 0.5);
  EXPECT_EQ(r.get(r.driftvar, 2, 1, 2), 1.0);
  EXPECT_EQ(r.get(r.maxdriftvar, 2, 1, 2), 2.0);
  EXPECT_EQ(r.get(r.index, 2, 1, 2), 50.0);
}

TEST(Drift, GroupsWhoseCountProductPassesInt32) {
  PedBuilder b;
  for (int i = 0; i < 46341; ++i) b.add(0, 0, 1, 1);
  for (int i = 0; i < 46342; ++i) b.add(0, 0, 1, 2);
  NullSink sink;
  const DriftResults r = drift_per_period(b.ped, INBREED(b.ped, no_progress()).D, make_names(2, 1), {sink, sink}, 1);
  EXPECT_EQ(r.get(r.mean_relationship, 1, 1, 1), 46341.0 / (46341.0 * 46341.0));
  EXPECT_EQ(r.get(r.maxdriftvar, 2, 1, 1), r.get(r.mean_relationship, 1, 1, 1) + r.get(r.mean_relationship, 2, 2, 1));
  EXPECT_EQ(r.get(r.index, 2, 1, 1), 100.0);
}

// The layout of case "population without animals in a period": population
// 3 is empty in period 1 and population 2 in period 2.
TEST(Drift, EmptyPopulationHasNoRowAndZeroFigures) {
  PedBuilder b;
  for (int i = 0; i < 3; ++i) b.add(0, 0, 1, 1);
  for (int i = 0; i < 3; ++i) b.add(0, 0, 1, 2);
  for (int i = 0; i < 3; ++i) b.add(0, 0, 2, 3);
  for (int i = 0; i < 2; ++i) b.add(0, 0, 2, 1);
  const Names names{{"", "PA", "PB", "PC"}, {"", "T1", "T2"}};
  StringSink screen, log;
  const DriftResults r = drift_per_period(b.ped, INBREED(b.ped, no_progress()).D, names, {screen, log});
  EXPECT_EQ(screen.data,
            "  Calculating drift variance between populations for: T1\n"
            "  Calculating drift variance between populations for: T2\n");
  EXPECT_EQ(log.data,
            "  Number of individuals in population PA in this period is            3\n"
            "  Number of individuals in population PB in this period is            3\n"
            "  Number of individuals in population PC in this period is            0\n"
            " Period: T1\n"
            "PA      0.3333\n"
            "PB      0.0000      0.3333\n"
            "  Number of individuals in population PA in this period is            2\n"
            "  Number of individuals in population PB in this period is            0\n"
            "  Number of individuals in population PC in this period is            3\n"
            " Period: T2\n"
            "PA      0.5000\n"
            "PC      0.0000      0.0000      0.3333\n");
  for (const auto* v : {&r.driftvar, &r.maxdriftvar, &r.index}) {
    EXPECT_EQ(r.get(*v, 3, 1, 1), 0.0);
    EXPECT_EQ(r.get(*v, 2, 1, 2), 0.0);
    EXPECT_EQ(r.get(*v, 3, 2, 2), 0.0);
  }
  EXPECT_NEAR(r.get(r.index, 3, 1, 2), 100.0, 1e-12);
}

// Full sibs given as sire/dam and dam/sire, a selfed animal, one parent
// known, and one population per animal in the middle period.
TEST(Drift, InbreedingWorkedThroughToLogAndTable) {
  PedBuilder b;
  const int32_t gs = b.add(0, 0, 1, 5), gd = b.add(0, 0, 1, 5);
  const int32_t b1 = b.add(gs, gd, 1, 5), s1 = b.add(gs, gd, 1, 5);
  const int32_t i1 = b.add(b1, s1, 2, 1);
  b.add(s1, b1, 2, 2);
  b.add(i1, i1, 2, 3);
  b.add(i1, 0, 2, 4);
  for (int i = 0; i < 3; ++i) b.add(0, 0, 3, 5);
  const Names names{{"", "PA", "PB", "PC", "PD", "PZ"}, {"", "T0", "T1", "T2"}};
  StringSink screen, log, out;
  const DriftResults r = drift_per_period(b.ped, INBREED(b.ped, no_progress()).D, names, {screen, log});
  write_result_table(r, names, out);
  const std::string none =
      "  Number of individuals in population PA in this period is            0\n"
      "  Number of individuals in population PB in this period is            0\n"
      "  Number of individuals in population PC in this period is            0\n"
      "  Number of individuals in population PD in this period is            0\n";
  EXPECT_EQ(log.data, none +
                          "  Number of individuals in population PZ in this period is            4\n"
                          " Period: T0\n"
                          "PZ      0.0000      0.0000      0.0000      0.0000      0.5625\n"
                          "  Number of individuals in population PA in this period is            1\n"
                          "  Number of individuals in population PB in this period is            1\n"
                          "  Number of individuals in population PC in this period is            1\n"
                          "  Number of individuals in population PD in this period is            1\n"
                          "  Number of individuals in population PZ in this period is            0\n"
                          " Period: T1\n"
                          "PA      1.2500\n"
                          "PB      0.7500      1.2500\n"
                          "PC      1.2500      0.7500      1.6250\n"
                          "PD      0.6250      0.3750      0.6250      1.0000\n" +
                          none +
                          "  Number of individuals in population PZ in this period is            3\n"
                          " Period: T2\n"
                          "PZ      0.0000      0.0000      0.0000      0.0000      0.3333\n");
  const std::string first_block =
      "\n  Pair of populations :PB & PA                  \n\n"
      " Period        |  genetic drift |  max genetic   |   Population   |\n"
      "               |  var betw pops |  drift var     | Different Index|\n"
      "===================================================================\n"
      "T0             |       0.000000 |       0.000000 |           0.00 |\n"
      "T1             |       1.000000 |       2.500000 |          40.00 |\n"
      "T2             |       0.000000 |       0.000000 |           0.00 |\n\n\n";
  EXPECT_EQ(out.data.substr(0, first_block.size()), first_block);
  EXPECT_EQ(out.data.size(), 10 * first_block.size());
  EXPECT_NE(out.data.find("T1             |       0.375000 |       2.875000 |          13.04 |\n"), std::string::npos);
}

TEST(Drift, FastMatchesPlainLoopForAnyThreadCount) {
  for (uint32_t seed = 60; seed < 64; ++seed) {
    const int32_t Q = 5, P = 4;
    const Pedigree ped = random_pedigree(seed, 900, Q, P, 10 + static_cast<int32_t>(seed % 2) * 100);
    const Names names = make_names(Q, P);
    NullSink none;
    const std::vector<double> D = INBREED(ped, no_progress()).D;
    StringSink plain_screen, plain_log;
    const DriftResults plain = drift_per_period_plain(ped, D, names, {plain_screen, plain_log});
    for (unsigned threads : {1u, 3u, 8u}) {
      StringSink screen, log;
      const DriftResults fast = drift_per_period(ped, D, names, {screen, log}, threads);
      expect_same_bits(fast.mean_relationship, plain.mean_relationship, "XZAZX");
      expect_same_bits(fast.driftvar, plain.driftvar, "DRIFTVAR");
      expect_same_bits(fast.maxdriftvar, plain.maxdriftvar, "MAXDRIFTVAR");
      expect_same_bits(fast.index, plain.index, "index");
      EXPECT_EQ(screen.data, plain_screen.data);
      EXPECT_EQ(log.data, plain_log.data);
    }
  }
}

// A herd whose first `sires` animals are the parents of all later ones
// (selfing now and then), in many small periods: few ancestors per period.
Pedigree heavy_sire_herd(uint32_t seed, int32_t n, int32_t sires, int32_t Q, int32_t P) {
  std::mt19937 rng(seed);
  PedBuilder b;
  for (int32_t i = 1; i <= n; ++i) {
    std::uniform_int_distribution<int32_t> parent(1, std::min(i - 1, sires));
    const int32_t sire = i > 1 ? parent(rng) : 0;
    const int32_t dam = i <= 2 || rng() % 8 == 0 ? 0 : rng() % 10 == 0 ? sire : parent(rng);
    b.add(sire, dam, 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(P)), 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(Q)));
  }
  return b.ped;
}

// The founder sums straight from CALCL per population and period, in
// increasing animal number as the period loop sums them.
FounderSums founder_sums_plain(const Pedigree& ped, int32_t Q, int32_t P) {
  FounderSums sums{Q, P, std::vector<int64_t>(static_cast<size_t>(Q * P), 0), std::vector<double>(static_cast<size_t>(Q * P), 0.0)};
  for (int32_t t = 1; t <= P; ++t) {
    for (int32_t I = 1; I <= Q; ++I) {
      std::vector<int32_t> xz(static_cast<size_t>(ped.n) + 1, 0);
      for (int32_t c = 1; c <= ped.n; ++c) xz[c] = ped.period[c] == t && ped.pop[c] == I;
      const std::vector<double> L = CALCL_plain(ped, xz);
      for (int32_t c = 1; c <= ped.n; ++c) {
        const int known = (ped.sire[c] != 0) + (ped.dam[c] != 0);
        const double share = known == 0 ? 1.0 : known == 1 ? 0.5 : 0.0;
        if (share == 0.0 || L[c] == 0.0) continue;
        ++sums.founders[sums.slot(I, t)];
        sums.squares[sums.slot(I, t)] += (share * L[c]) * (share * L[c]);
      }
    }
  }
  return sums;
}

// Many small periods take the sparse sweep over their members' ancestors,
// side by side or alone: complete (a few heavy sires), given up for the
// dense sweep (random matings, where nearly every animal is an ancestor),
// both on one worker (random matings, then the heavy sires' offspring),
// along a line (selfed now and then) whose contributions underflow to 0,
// and along a short line above many founders.
TEST(Drift, ManySmallPeriodsMatchPlainLoop) {
  std::vector<std::pair<Pedigree, int32_t>> cases;  // pedigree, Q
  for (uint32_t seed = 90; seed < 93; ++seed) cases.emplace_back(heavy_sire_herd(seed, 2500, 25, 3, 400), 3);
  for (uint32_t seed = 93; seed < 95; ++seed) cases.emplace_back(random_pedigree(seed, 1500, 2, 250, 40), 2);
  PedBuilder mixed;
  std::mt19937 rng(95);
  for (int32_t i = 1; i <= 4500; ++i) {
    const int32_t last = i <= 1500 ? i - 1 : 25;
    std::uniform_int_distribution<int32_t> parent(std::max(1, last - 40), std::max(last, 1));
    const int32_t period = i <= 1500 ? 1 + i % 100 : 101 + i % 300;
    mixed.add(i > 1 ? parent(rng) : 0, i > 2 ? parent(rng) : 0, period, 1 + i % 2);
  }
  cases.emplace_back(mixed.ped, 2);
  PedBuilder line;
  for (int32_t g = 1; g <= 1300; ++g) line.add(g > 1 ? g - 1 : 0, g % 50 == 0 ? g - 1 : 0, 1 + g % 97, 1 + g % 2);
  cases.emplace_back(line.ped, 2);
  // A line above many founders: sums of contributions halving over 150
  // generations round, so only the dense sweep's order gives its bits.
  PedBuilder above;
  for (int32_t i = 1; i <= 4000; ++i) above.add(0, 0);
  for (int32_t g = 1; g <= 150; ++g) above.add(above.ped.n, g % 3 == 0 ? 1 + g : 0, 1 + g % 7, 1 + g % 2);
  cases.emplace_back(above.ped, 2);
  for (const auto& [ped, Q] : cases) {
    int32_t P = 0;
    for (int32_t c = 1; c <= ped.n; ++c) P = std::max(P, ped.period[c]);
    const Names names = make_names(Q, P);
    NullSink none;
    const std::vector<double> D = INBREED(ped, no_progress()).D;
    StringSink plain_screen, plain_log;
    const DriftResults plain = drift_per_period_plain(ped, D, names, {plain_screen, plain_log});
    const FounderSums plain_founders = founder_sums_plain(ped, Q, P);
    for (unsigned threads : {1u, 3u}) {
      StringSink screen, log;
      FounderSums founders;
      const DriftResults fast = drift_per_period(ped, D, names, {screen, log}, threads, &founders);
      expect_same_bits(fast.mean_relationship, plain.mean_relationship, "XZAZX");
      expect_same_bits(fast.index, plain.index, "index");
      EXPECT_EQ(log.data, plain_log.data);
      EXPECT_EQ(founders.founders, plain_founders.founders);
      expect_same_bits(founders.squares, plain_founders.squares, "squared shares");
    }
  }
}

// More populations than full rows are kept for (herds as populations):
// sparse rows throughout, and small periods swept side by side; on a
// deep line whose contributions underflow, with heavy sires, selfing,
// and periods so few and large that they are swept one by one.
TEST(Drift, ManyPopulationsMatchPlainLoop) {
  struct Case {
    const char* what;
    Pedigree ped;
    int32_t Q;
  };
  PedBuilder line;
  for (int32_t g = 1; g <= 1300; ++g) line.add(g > 1 ? g - 1 : 0, g % 50 == 0 ? g - 1 : 0, 1 + g % 97, 1 + g % 37);
  const Case cases[] = {
      {"many small periods", random_pedigree(70, 1500, 40, 150, 40), 40},
      {"few large periods", random_pedigree(71, 1200, 36, 3, 300), 36},
      {"heavy sires", heavy_sire_herd(72, 2500, 25, 45, 300), 45},
      {"selfed line", line.ped, 37},
  };
  for (const Case& k : cases) {
    int32_t P = 0;
    for (int32_t c = 1; c <= k.ped.n; ++c) P = std::max(P, k.ped.period[c]);
    const Names names = make_names(k.Q, P);
    const std::vector<double> D = INBREED(k.ped, no_progress()).D;
    StringSink plain_screen, plain_log;
    const DriftResults plain = drift_per_period_plain(k.ped, D, names, {plain_screen, plain_log});
    const FounderSums plain_founders = founder_sums_plain(k.ped, k.Q, P);
    for (unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(std::string(k.what) + ", threads " + std::to_string(threads));
      StringSink screen, log;
      FounderSums founders;
      const DriftResults fast = drift_per_period(k.ped, D, names, {screen, log}, threads, &founders);
      expect_same_bits(fast.mean_relationship, plain.mean_relationship, "XZAZX");
      expect_same_bits(fast.index, plain.index, "index");
      EXPECT_EQ(screen.data, plain_screen.data);
      EXPECT_EQ(log.data, plain_log.data);
      EXPECT_EQ(founders.founders, plain_founders.founders);
      expect_same_bits(founders.squares, plain_founders.squares, "squared shares");
    }
  }
}

// Herds mated at random within themselves, their animals interleaved in
// the numbering. herd_pop[h]: the population of herd h's animals (two
// herds may share one, without sharing an ancestor); `migration`: the
// chance that an animal of herd 0 has a parent from herd 1.
Pedigree closed_herds(uint32_t seed, int32_t n, const std::vector<int32_t>& herd_pop, int32_t P, double migration) {
  std::mt19937 rng(seed);
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  std::vector<std::vector<int32_t>> herd(herd_pop.size());
  PedBuilder b;
  for (int32_t i = 1; i <= n; ++i) {
    const size_t h = rng() % herd_pop.size();
    auto pick = [&](size_t from) {
      const std::vector<int32_t>& in = herd[from];
      return in.empty() ? 0 : in[in.size() - 1 - rng() % std::min<size_t>(in.size(), 30)];
    };
    int32_t sire = pick(h), dam = chance(0.05) ? sire : pick(h);
    if (h == 0 && herd.size() > 1 && chance(migration)) sire = pick(1);
    // Now and then a parent without a record (no population, no period).
    const bool recorded = !chance(0.1);
    b.add(sire, dam, recorded ? 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(P)) : 0,
          recorded ? herd_pop[h] : 0);
    herd[h].push_back(i);
  }
  return b.ped;
}

// Populations that share no ancestor are swept apart, and their periods
// in runs: closed herds, two herds joined by migration, and two unrelated
// herds in one population, with the groups as INBREED gives them and as
// the periods find them.
TEST(Drift, ClosedPopulationsMatchPlainLoop) {
  struct Case {
    const char* what;
    Pedigree ped;
    int32_t Q;
  };
  const Case cases[] = {
      {"four closed herds", closed_herds(120, 2400, {1, 2, 3, 4}, 5, 0.0), 4},
      {"two joined, a population of two herds", closed_herds(121, 2400, {1, 2, 3, 4, 4}, 6, 0.02), 4},
      {"all joined", closed_herds(122, 1500, {1, 2}, 3, 0.05), 2},
      // Small periods whose ancestors are many: swept in runs as well.
      {"closed herds, many small periods", closed_herds(123, 3000, {1, 2, 3}, 60, 0.0), 3},
  };
  for (const Case& k : cases) {
    int32_t P = 0;
    for (int32_t c = 1; c <= k.ped.n; ++c) P = std::max(P, k.ped.period[c]);
    const Names names = make_names(k.Q, P);
    const Inbreeding inbreeding = INBREED(k.ped, no_progress());
    StringSink plain_screen, plain_log;
    const DriftResults plain = drift_per_period_plain(k.ped, inbreeding.D, names, {plain_screen, plain_log});
    const FounderSums plain_founders = founder_sums_plain(k.ped, k.Q, P);
    using Groups = const std::vector<int32_t>*;
    for (const Groups groups : {Groups{&inbreeding.pop_group}, Groups{nullptr}}) {
      for (unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(std::string(k.what) + (groups ? ", groups given" : "") + ", threads " + std::to_string(threads));
        StringSink screen, log;
        FounderSums founders;
        const DriftResults fast =
            drift_per_period(k.ped, inbreeding.D, names, {screen, log}, threads, &founders, groups);
        expect_same_bits(fast.mean_relationship, plain.mean_relationship, "XZAZX");
        expect_same_bits(fast.index, plain.index, "index");
        EXPECT_EQ(log.data, plain_log.data);
        EXPECT_EQ(founders.founders, plain_founders.founders);
        expect_same_bits(founders.squares, plain_founders.squares, "squared shares");
      }
    }
  }
  // The groups themselves: herds 1 and 2 joined, 3 alone, 4 of two herds.
  EXPECT_EQ(INBREED(cases[1].ped, no_progress()).pop_group, (std::vector<int32_t>{-1, 0, 0, 1, 2}));
  EXPECT_EQ(INBREED(cases[0].ped, no_progress()).pop_group, (std::vector<int32_t>{-1, 0, 1, 2, 3}));
}

TEST(Drift, AgreesWithTabularRelationships) {
  for (uint32_t seed = 80; seed < 84; ++seed) {
    const int32_t Q = 4, P = 3;
    const Pedigree ped = random_pedigree(seed, 320, Q, P, 15);
    NullSink none;
    const DriftResults r = drift_per_period(ped, INBREED(ped, no_progress()).D, make_names(Q, P), {none, none});
    const auto A = tabular_A(ped);
    for (int32_t a = 1; a <= P; ++a) {
      std::vector<std::vector<int32_t>> group(Q + 1);
      for (int32_t c = 1; c <= ped.n; ++c)
        if (ped.period[c] == a) group[ped.pop[c]].push_back(c);
      auto mean = [&](int32_t I, int32_t J) {
        if (group[I].empty() || group[J].empty()) return 0.0;
        double s = 0;
        for (int32_t x : group[I])
          for (int32_t y : group[J]) s += A[x][y];
        return s / (static_cast<double>(group[I].size()) * static_cast<double>(group[J].size()));
      };
      for (int32_t I = 1; I <= Q; ++I) {
        for (int32_t J = 1; J <= Q; ++J) EXPECT_NEAR(r.get(r.mean_relationship, I, J, a), mean(I, J), 1e-9);
        for (int32_t J = 1; J < I; ++J) {
          const bool both = !group[I].empty() && !group[J].empty();
          const double W = mean(I, I) + mean(J, J), drift = W - 2 * mean(I, J);
          EXPECT_NEAR(r.get(r.driftvar, I, J, a), both ? drift : 0.0, 1e-9);
          EXPECT_NEAR(r.get(r.maxdriftvar, I, J, a), both ? W : 0.0, 1e-9);
          EXPECT_NEAR(r.get(r.index, I, J, a), both ? 100 * drift / W : 0.0, 1e-9);
        }
      }
    }
  }
}

// ---------------------------------------------------------------- lines

TEST(Lines, NamesTrimmedAndCountsInTwelveColumns) {
  EXPECT_EQ(count_line("ABCDEFGHIJK  ", 46342),
            "  Number of individuals in population ABCDEFGHIJK in this period is        46342\n");
  EXPECT_EQ(period_heading("T1 "), " Period: T1\n");
}

TEST(Lines, MatrixRowsOfAnyLength) {
  const double v[] = {0.0, 0.5625, 1.625, 12345678.9};
  EXPECT_EQ(matrix_row("PZ ", v), "PZ      0.0000      0.5625      1.6250************\n");
  const std::string name(25, 'n');
  const std::vector<double> sixty(60, 0.25);
  const std::string row = matrix_row(name, sixty);
  ASSERT_EQ(row.size(), 25 + 60 * 12 + 1u);
  EXPECT_EQ(row.substr(25 + 59 * 12), "      0.2500\n");
  const std::vector<double> many(450, 1.0);
  EXPECT_EQ(matrix_row("X", many).size(), 1 + 450 * 12 + 1u);
}

TEST(Lines, PairLabelCutAndPadded) {
  EXPECT_EQ(pair_label("PB", "PA"), "PB & PA                  ");
  EXPECT_EQ(pair_label("abcdefghijk", "ABCDEFGHIJK"), "abcdefghijk & ABCDEFGHIJK");
  EXPECT_EQ(pair_label("abcdefghijkl", "ABCDEFGHIJK "), "abcdefghijkl & ABCDEFGHIJ");
  EXPECT_EQ(pair_label(std::string(25, 'x'), "A"), std::string(25, 'x'));
}

// Rows of zeros come out as made once; a negative zero, or a value that
// only rounds to zero, is written as such, in any column.
TEST(Lines, TableRowOfZerosAndNearZeros) {
  const struct {
    double driftvar, maxdriftvar, index;
    const char* figures;
  } rows[] = {
      {0.0, 0.0, 0.0, "|       0.000000 |       0.000000 |           0.00 |\n"},
      {-0.0, 0.0, 0.0, "|      -0.000000 |       0.000000 |           0.00 |\n"},
      {0.0, -0.0, 0.0, "|       0.000000 |      -0.000000 |           0.00 |\n"},
      {0.0, 0.0, -0.0, "|       0.000000 |       0.000000 |          -0.00 |\n"},
      {1e-9, 0.0, 0.0, "|       0.000000 |       0.000000 |           0.00 |\n"},
      {0.0, 0.0, -1e-9, "|       0.000000 |       0.000000 |          -0.00 |\n"},
      {0.0, 0.0, 0.005, "|       0.000000 |       0.000000 |           0.01 |\n"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(table_row("T1", r.driftvar, r.maxdriftvar, r.index), std::string("T1             ") + r.figures);
    EXPECT_EQ(table_row("T2", 0.0, 0.0, 0.0), "T2             |       0.000000 |       0.000000 |           0.00 |\n");
  }
}

TEST(Lines, TableRowCutsPeriodTo15) {
  EXPECT_EQ(table_row("Period_with_a_long_name_0", 1.5, 1.5, 100.0),
            "Period_with_a_l|       1.500000 |       1.500000 |         100.00 |\n");
  EXPECT_EQ(table_row("T1", 0.375, 2.875, 100.0 * 0.375 / 2.875),
            "T1             |       0.375000 |       2.875000 |          13.04 |\n");
  EXPECT_EQ(table_row("T", 1e12, 0.0, 0.0),
            "T              |*************** |       0.000000 |           0.00 |\n");
}

TEST(ResultTable, PairBlocksInOrder) {
  DriftResults r;
  r.Q = 3;
  r.P = 2;
  for (auto* v : {&r.mean_relationship, &r.driftvar, &r.maxdriftvar, &r.index}) v->assign(18, 0.0);
  r.at(r.driftvar, 2, 1, 1) = 1.0;
  r.at(r.maxdriftvar, 2, 1, 1) = 2.5;
  r.at(r.index, 2, 1, 1) = 40.0;
  const Names names{{"", "PA", "PB", "PC"}, {"", "T0", "Period_with_a_long_name_1"}};
  StringSink out;
  write_result_table(r, names, out);
  const std::string head =
      " Period        |  genetic drift |  max genetic   |   Population   |\n"
      "               |  var betw pops |  drift var     | Different Index|\n"
      "===================================================================\n";
  const std::string zero = "|       0.000000 |       0.000000 |           0.00 |\n";
  auto block = [&](const std::string& label, const std::string& first_row) {
    return "\n  Pair of populations :" + label + "\n\n" + head + first_row + "Period_with_a_l" + zero + "\n\n";
  };
  EXPECT_EQ(out.data, block("PB & PA                  ", "T0             |       1.000000 |       2.500000 |          40.00 |\n") +
                          block("PC & PA                  ", "T0             " + zero) +
                          block("PC & PB                  ", "T0             " + zero));

  StringSink single;
  r.Q = 1;
  write_result_table(r, names, single);
  EXPECT_EQ(single.data, "");
}

// ---------------------------------------------------------------- diversity

constexpr double kNoFigure = std::numeric_limits<double>::quiet_NaN();

// The figures as a run computes them: F from INBREED, the founder sums
// from the period loop.
struct FastDiversity {
  FounderSums founders;
  Diversity figures;
  FastDiversity(const Pedigree& ped, int32_t Q, int32_t P, unsigned threads = 1) {
    NullSink none;
    const Inbreeding r = INBREED(ped, no_progress());
    const DriftResults drift = drift_per_period(ped, r.D, make_names(Q, P), {none, none}, threads, &founders);
    figures = diversity(ped, r.F, pedigree_depth(ped), drift, founders);
  }
};

// Within 1e-12, relative for figures above 1 (effective founders, Ne);
// a figure that does not exist must not exist on both sides.
void expect_figure(double fast, double expected, const std::string& what) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(fast)) << what << ": " << fast << " where none exists";
  } else {
    EXPECT_NEAR(fast, expected, 1e-12 * std::max(1.0, std::abs(expected))) << what;
  }
}

template <class Figures, size_t N>
void expect_statistics(const Figures& fast, const Figures& expected, const Statistic<Figures> (&list)[N],
                       const std::string& where) {
  for (const auto& statistic : list) {
    if (statistic.count) {
      EXPECT_EQ(statistic.of(fast), statistic.of(expected)) << where << " " << statistic.name;
    } else {
      expect_figure(statistic.of(fast), statistic.of(expected), where + " " + std::string(statistic.name));
    }
  }
}

void expect_same_figures(const Diversity& fast, const Diversity& dense, const std::string& what) {
  ASSERT_EQ(fast.groups.size(), dense.groups.size()) << what;
  for (int32_t t = 1; t <= fast.P; ++t) {
    for (int32_t I = 1; I <= fast.Q; ++I) {
      expect_statistics(fast.group(I, t), dense.group(I, t), kGroupStatistics,
                        what + " P" + std::to_string(I) + " T" + std::to_string(t));
    }
    expect_statistics(fast.periods[t - 1], dense.periods[t - 1], kPeriodStatistics, what + " T" + std::to_string(t));
  }
}

// Selfing, half-known parents, parents without a record and groups of a
// handful of animals; a herd of few sires in many small periods, which the
// period loop takes by its sparse sweep; and generations in order.
TEST(Diversity, AgreesWithDenseMatricesOnRandomPedigrees) {
  struct Case {
    std::string name;
    Pedigree ped;
    int32_t Q, P;
  };
  std::vector<Case> cases;
  for (uint32_t seed = 200; seed < 204; ++seed)
    cases.push_back({"random " + std::to_string(seed), random_pedigree(seed, 300, 6, 8, 8 + seed % 3 * 40), 6, 8});
  for (uint32_t seed = 204; seed < 206; ++seed)
    cases.push_back({"sires " + std::to_string(seed), heavy_sire_herd(seed, 1200, 20, 3, 150), 3, 150});
  cases.push_back({"generations", generational_pedigree(206, 8, 40), 2, 3});
  for (const Case& c : cases) {
    const PedigreeDepth depth = pedigree_depth(c.ped), recursive = pedigree_depth_recursive(c.ped);
    EXPECT_EQ(depth.equivalent, recursive.equivalent) << c.name;
    EXPECT_EQ(depth.complete, recursive.complete) << c.name;
    EXPECT_EQ(depth.maximum, recursive.maximum) << c.name;
    expect_same_figures(FastDiversity(c.ped, c.Q, c.P).figures, diversity_dense(c.ped, c.Q, c.P), c.name);
  }
}

// Animals without a record (population and period 0) are ancestors only;
// the group is population 1 in each period. Figures in the order of
// kGroupStatistics; the standard error never exists here (no two animals
// with an increase that is not 0).
TEST(Diversity, TextbookPedigrees) {
  using Figures = std::vector<double>;
  const double none = kNoFigure;
  struct Case {
    const char* name;
    Pedigree ped;
    std::vector<Figures> periods;
  };
  std::vector<Case> cases;
  PedBuilder sibs;
  sibs.add(0, 0), sibs.add(0, 0), sibs.add(1, 2, 1, 1), sibs.add(2, 1, 1, 1);
  cases.push_back({"full sibs", sibs.ped, {{2, 2, 0, 0, 0.75, 4.0 / 3, 2, 2, 1, 1, 1, 0, none, none}}});
  // F = 1/4 after 1.5 equivalent generations: dF = 1 - (3/4)^2 = 7/16.
  PedBuilder daughter;
  daughter.add(0, 0), daughter.add(0, 0), daughter.add(1, 2), daughter.add(1, 3, 1, 1);
  cases.push_back({"sire x daughter", daughter.ped, {{1, 1, 0, 0.25, 1.25, 0.8, 2, 1.6, 1.5, 1, 2, 1, 8.0 / 7, none}}});
  PedBuilder selfed;
  selfed.add(0, 0), selfed.add(1, 1, 1, 1);
  cases.push_back({"selfing", selfed.ped, {{1, 1, 0, 0.5, 1.5, 2.0 / 3, 1, 1, 1, 1, 1, 0, none, none}}});
  // The founder S and its offspring by an unknown dam, both in the group:
  // S has 1/2 + 1/4 of the genes, the unknown dam the other 1/4.
  PedBuilder half;
  half.add(0, 0, 1, 1), half.add(1, 0, 1, 1);
  cases.push_back({"half-founder", half.ped, {{2, 0, 1, 0, 0.75, 4.0 / 3, 2, 1.6, 0.25, 0, 0.5, 0, none, none}}});
  // Eight unrelated founders, their four offspring in period 1, two
  // grandoffspring in period 2, one in period 3: t = c = m, and no
  // inbreeding to give an increase.
  PedBuilder complete;
  for (int k = 0; k < 8; ++k) complete.add(0, 0);
  for (int32_t period = 1, first = 1, size = 8; period <= 3; ++period, first += size, size /= 2)
    for (int32_t k = 0; k < size; k += 2) complete.add(first + k, first + k + 1, period, 1);
  cases.push_back({"three complete generations",
                   complete.ped,
                   {{4, 4, 0, 0, 0.25, 4, 8, 8, 1, 1, 1, 0, none, none},
                    {2, 2, 0, 0, 0.5, 2, 8, 8, 2, 2, 2, 2, none, none},
                    {1, 1, 0, 0, 1, 1, 8, 8, 3, 3, 3, 1, none, none}}});
  for (const Case& c : cases) {
    const int32_t P = static_cast<int32_t>(c.periods.size());
    const Diversity d = FastDiversity(c.ped, 1, P).figures;
    for (int32_t t = 1; t <= P; ++t) {
      ASSERT_EQ(c.periods[t - 1].size(), std::size(kGroupStatistics));
      for (size_t k = 0; k < std::size(kGroupStatistics); ++k) {
        expect_figure(kGroupStatistics[k].of(d.group(1, t)), c.periods[t - 1][k],
                      std::string(c.name) + " T" + std::to_string(t) + " " + std::string(kGroupStatistics[k].name));
      }
    }
  }
}

TEST(Diversity, IndividualIncreaseInInbreeding) {
  const struct {
    double F, t, dF;
  } cases[] = {
      {0.25, 3, 1 - std::sqrt(0.75)},  // two generations' worth
      {0.0, 5, 0.0},
      {1.0, 2, 1.0},
      {1e-15, 2, 1e-15},  // 1 - (1 - F) would keep one digit of it
      {0.3, 1, kNoFigure},
      {0.3, 0.5, kNoFigure},
  };
  for (const auto& c : cases) {
    const double dF = individual_delta_F(c.F, c.t);
    if (std::isnan(c.dF)) {
      EXPECT_TRUE(std::isnan(dF)) << c.F << " " << c.t;
    } else {
      EXPECT_NEAR(dF, c.dF, 1e-15 * std::max(c.dF, 1e-15) + 1e-300) << c.F << " " << c.t;
    }
  }
}

TEST(Diversity, FStatisticsMultiplyAsOneMinusF) {
  // Two unrelated founders in populations of their own: f within 1/2,
  // between 0, so f_is = -1, f_st = 1/3, f_it = -1/3.
  PedBuilder b;
  b.add(0, 0, 1, 1);
  b.add(0, 0, 1, 2);
  b.add(0, 0, 2, 1);
  const Diversity two = FastDiversity(b.ped, 2, 2).figures;
  const PeriodFStatistics& f = two.periods[0];
  EXPECT_EQ(f.populations, 2);
  EXPECT_DOUBLE_EQ(f.f_within, 0.5);
  EXPECT_DOUBLE_EQ(f.f_total, 0.25);
  EXPECT_DOUBLE_EQ(f.f_is, -1.0);
  EXPECT_DOUBLE_EQ(f.f_st, 1.0 / 3);
  EXPECT_DOUBLE_EQ(f.f_it, -1.0 / 3);
  // One population: no differentiation to speak of.
  EXPECT_EQ(two.periods[1].populations, 1);
  EXPECT_TRUE(std::isnan(two.periods[1].f_st) && std::isnan(two.periods[1].f_it));
  EXPECT_FALSE(std::isnan(two.periods[1].f_is));
  int checked = 0;
  for (uint32_t seed = 210; seed < 214; ++seed) {
    const Diversity d = FastDiversity(random_pedigree(seed, 400, 4, 5, 6), 4, 5).figures;
    for (const PeriodFStatistics& p : d.periods) {
      if (p.populations < 2) continue;
      EXPECT_NEAR(1 - p.f_it, (1 - p.f_is) * (1 - p.f_st), 1e-12) << seed;
      ++checked;
    }
  }
  EXPECT_GE(checked, 16);
}

// The founder sums are summed per period in increasing animal number, so
// the workers that take the periods change no bit; asking for them
// changes no line and no relationship.
TEST(Diversity, SameBitsOnOneAndSevenThreads) {
  for (const Pedigree& ped : {random_pedigree(220, 900, 5, 12, 30), heavy_sire_herd(221, 2500, 25, 3, 300)}) {
    int32_t P = 0;
    for (int32_t c = 1; c <= ped.n; ++c) P = std::max(P, ped.period[c]);
    const FastDiversity one(ped, 5, P, 1), seven(ped, 5, P, 7);
    EXPECT_EQ(one.founders.founders, seven.founders.founders);
    expect_same_bits(one.founders.squares, seven.founders.squares, "squared shares");
    for (size_t g = 0; g < one.figures.groups.size(); ++g) {
      for (const auto& statistic : kGroupStatistics) {
        const double a = statistic.of(one.figures.groups[g]), b = statistic.of(seven.figures.groups[g]);
        ASSERT_TRUE(same_bits(a, b) || (std::isnan(a) && std::isnan(b))) << statistic.name << " group " << g;
      }
    }
    NullSink none;
    const std::vector<double> D = INBREED(ped, no_progress()).D;
    StringSink log, log_sums;
    FounderSums founders;
    const DriftResults plain = drift_per_period(ped, D, make_names(5, P), {none, log}, 2);
    const DriftResults with = drift_per_period(ped, D, make_names(5, P), {none, log_sums}, 2, &founders);
    expect_same_bits(with.mean_relationship, plain.mean_relationship, "XZAZX");
    EXPECT_EQ(log_sums.data, log.data);
  }
}

}  // namespace
}  // namespace vm::genetics
