// Line writers, the exit report, and the shared helpers: hashing, the flat
// table, the work spread over threads, the error stop.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/cpus.h"
#include "common/flat_table.h"
#include "common/huge_pages.h"
#include "common/format.h"
#include "common/sha256.h"
#include "common/parallel.h"
#include "common/sink.h"
#include "common/stop.h"
#include "common/temp_files.h"
#include "common/exit_info.h"

namespace vm {
namespace {

TEST(FreeFormatLine, TextsAndIntegers) {
  EXPECT_EQ(FreeLine().text(" Number of fields in pedigree file ").num(5).str(),
            "  Number of fields in pedigree file            5\n");
  EXPECT_EQ(FreeLine().text("Allocating memory ...").str(), " Allocating memory ...\n");
  EXPECT_EQ(FreeLine().num(100000).str(), "       100000\n");
  EXPECT_EQ(FreeLine().num(-2147483648LL).str(), "  -2147483648\n");
  EXPECT_EQ(FreeLine().text("a").text("b").num(1).text("c").str(), " ab           1c\n");
}

// Numbers are printf's %12lld: up to 12 columns padded, wider ones whole.
TEST(FreeFormatLine, IntegersAsPrintfWritesThem) {
  for (int64_t v : {int64_t{0}, int64_t{-1}, int64_t{99999999999}, int64_t{-99999999999}, int64_t{999999999999},
                    int64_t{-999999999999}, int64_t{1000000000000}, std::numeric_limits<int64_t>::max(),
                    std::numeric_limits<int64_t>::min()}) {
    char want[32];
    std::snprintf(want, sizeof want, " %12lld\n", static_cast<long long>(v));
    EXPECT_EQ(FreeLine().num(v).str(), want) << v;
  }
}

TEST(FreeFormatLine, WithoutItemsIsEmpty) {
  EXPECT_EQ(FreeLine().str(), "\n");
  EXPECT_EQ(FreeLine().text("").str(), " \n");
}

TEST(EditDescriptors, IntegerFields) {
  EXPECT_EQ(fmt_I(7, 2), " 7");
  EXPECT_EQ(fmt_I(10, 2), "10");
  EXPECT_EQ(fmt_I(100, 2), "**");
  EXPECT_EQ(fmt_I(-5, 2), "-5");
  EXPECT_EQ(fmt_I(-10, 2), "**");
  EXPECT_EQ(fmt_I(6001, 5), " 6001");
  EXPECT_EQ(fmt_I(123456, 5), "*****");
  EXPECT_EQ(fmt_I(3, 5, 5), "00003");
  EXPECT_EQ(fmt_I(7, 2, 2), "07");
  EXPECT_EQ(fmt_I(-3, 4, 2), " -03");
}

TEST(EditDescriptors, FixedPoint) {
  EXPECT_EQ(fmt_F(0.5, 15, 6), "       0.500000");
  EXPECT_EQ(fmt_F(100.0, 15, 2), "         100.00");
  EXPECT_EQ(fmt_F(0.25, 12, 4), "      0.2500");
  EXPECT_EQ(fmt_F(2.5, 12, 4), "      2.5000");
  EXPECT_EQ(fmt_F(-0.125, 12, 4), "     -0.1250");
  EXPECT_EQ(fmt_F(0.0, 15, 6), "       0.000000");
  // Rounding of the exact binary value, and sign kept on a rounded zero.
  EXPECT_EQ(fmt_F(0.00005, 12, 4), "      0.0001");
  EXPECT_EQ(fmt_F(-0.00001, 12, 4), "     -0.0000");
  // Overflow fills the field; a leading zero gives way first.
  EXPECT_EQ(fmt_F(123456789.0, 12, 4), "************");
  EXPECT_EQ(fmt_F(0.5, 3, 2), ".50");
  EXPECT_EQ(fmt_F(-0.5, 4, 2), "-.50");
  EXPECT_EQ(fmt_F(12.5, 3, 2), "***");
  // Wider than the first formatting's buffer: formatted again whole.
  EXPECT_EQ(fmt_F(-1e60, 80, 6), "            -999999999999999949387135297074018866963645011013410073083904.000000");
  EXPECT_EQ(fmt_F(1e300, 15, 6), "***************");
}

// Fw.d as printf gives it, widened the way the field allows: what the
// quick formatting must reproduce byte for byte.
std::string fixed_by_printf(double v, int w, int d) {
  const int len = std::snprintf(nullptr, 0, "%.*f", d, v);
  std::string s(static_cast<size_t>(len), '\0');
  std::snprintf(s.data(), s.size() + 1, "%.*f", d, v);
  const auto width = static_cast<size_t>(w);
  if (s.size() > width) {
    if (s.rfind("0.", 0) == 0 && s.size() - 1 <= width) s.erase(0, 1);
    else if (s.rfind("-0.", 0) == 0 && s.size() - 1 <= width) s.erase(1, 1);
    else return std::string(width, '*');
  }
  return std::string(width - s.size(), ' ') + s;
}

// Ties at every decimal count (exact binary halves), the neighbours of
// ties and of carries into a new digit, zeros of both signs, subnormals,
// the largest magnitudes the integer way takes and those just past it,
// and random values over all magnitudes and of the period lines' range.
TEST(EditDescriptors, FixedPointAsPrintf) {
  std::vector<double> values = {0.0, -0.0, 0.5, 1.5, 2.5, -2.5, 0.125, 0.375, -0.625, 0.03125, 9.5, 99.5, 0.95, 0.995,
                                0.99995, 9.9999995, 1e-5, 5e-5, -5e-5, 4.9999999999999996e-5, 0.00015, 1e-320,
                                -4.9e-324, 2.2250738585072014e-308, 1e15, 123456789.0, 4.6e18, 4.7e18, 9.3e18,
                                1e19, -1e60, 1e300, 1.7976931348623157e308};
  for (int k = 1; k <= 60; ++k) {
    const double tie = std::ldexp(1.0, -k);
    for (double v : {tie, 3 * tie, 1 + tie, 1000 + 5 * tie}) {
      values.push_back(v);
      values.push_back(-v);
      values.push_back(std::nextafter(v, 0.0));
      values.push_back(std::nextafter(v, 2 * v));
    }
  }
  for (uint64_t p = 1; p <= 10000000000000000000u / 10; p *= 10)
    for (double v : {static_cast<double>(p), 0.5 / static_cast<double>(p), 4611686018427387904.0 / static_cast<double>(p)}) {
      values.push_back(v);
      values.push_back(std::nextafter(v, 0.0));
      values.push_back(std::nextafter(v, 2 * v));
    }
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (std::isfinite(v)) values.push_back(v);
    values.push_back(std::uniform_real_distribution<double>(-2.0, 2.0)(rng));
    values.push_back(std::ldexp(std::uniform_real_distribution<double>(-1.0, 1.0)(rng), static_cast<int>(rng() % 140) - 70));
  }
  const std::pair<int, int> fields[] = {{12, 4}, {15, 6}, {15, 2}, {40, 0}, {40, 1}, {40, 3}, {40, 5}, {40, 7},
                                        {40, 8}, {40, 9}, {40, 10}, {3, 2}, {5, 4}, {1, 0}};
  for (double v : values)
    for (const auto& [w, d] : fields) ASSERT_EQ(fmt_F(v, w, d), fixed_by_printf(v, w, d)) << std::hexfloat << v << " F" << w << "." << d;
}

TEST(EditDescriptors, FixedPointAppendsToALine) {
  std::string line = "P1";
  append_F(line, 0.25, 12, 4);
  append_F(line, -0.5, 4, 2);
  append_F(line, std::numeric_limits<double>::quiet_NaN(), 5, 2);
  EXPECT_EQ(line, "P1      0.2500-.50  NaN");
}

TEST(EditDescriptors, Texts) {
  EXPECT_EQ(fmt_A("abc", 5), "  abc");
  EXPECT_EQ(fmt_A("abcdef", 3), "abc");
  EXPECT_EQ(pad("T1", 5), "T1   ");
  EXPECT_EQ(pad("abcdef", 3), "abc");
  EXPECT_EQ(rtrim("ab  "), "ab");
  EXPECT_EQ(rtrim("   "), "");
  // Blank runs around the eight-at-a-time steps, blanks inside, tabs.
  for (size_t text = 0; text <= 10; ++text) {
    for (size_t blanks = 0; blanks <= 26; ++blanks) {
      const std::string code = std::string(text, 'x').replace(0, text / 2, text / 2, ' ');
      EXPECT_EQ(rtrim(code + std::string(blanks, ' ')), std::string_view(code).substr(0, code.find_last_not_of(' ') + 1))
          << text << "+" << blanks;
    }
  }
  EXPECT_EQ(rtrim("a\t        "), "a\t");
}

std::string program_name = "velmora";

std::string report_of(std::string_view message, int code, std::initializer_list<float> values) {
  try {
    EXIT_INFO(message, code, values);
  } catch (const FatalExit& fatal) {
    EXPECT_EQ(fatal.code, code);
    return exit_info_report(fatal, program_name);
  }
  ADD_FAILURE() << "EXIT_INFO returned";
  return {};
}

TEST(ExitReport, ProbesExhaustedExample) {
  program_name = "velmora";
  EXPECT_EQ(report_of("CHASH: Array too small, dimensies aanpassen bij string: ABC", 6001, {6000.0f, 1500.0f}),
            "CHASH: Array too small, dimensies aanpassen bij string: ABC  6000  1500\n"
            "Hoofdprogramma: velmora\n"
            " Hoofdprogramma wordt nu afgesloten met exitcode: 6001\n");
}

TEST(ExitReport, ValueLayouts) {
  program_name = "velmora";
  EXPECT_EQ(report_of("M", 1, {0.0f}).substr(0, 5), "M  0\n");
  EXPECT_EQ(report_of("M", 1, {-5.0f}).substr(0, 5), "M -5\n");
  EXPECT_EQ(report_of("M", 1, {2.5f}).substr(0, 15), "M       2.5000\n");
  EXPECT_EQ(report_of("M", 1, {10.0f}).substr(0, 6), "M  10\n");
  // 10^9 and more fall back to two columns: asterisks.
  EXPECT_EQ(report_of("M", 1, {1.0e9f}).substr(0, 5), "M **\n");
  // Trailing blanks of the message do not count; only five values show.
  EXPECT_EQ(report_of("M   ", 1, {1, 2, 3, 4, 5, 6}).substr(0, 17), "M  1  2  3  4  5\n");
}

TEST(ExitReport, WideCodesAndEmptyParts) {
  program_name = "";
  EXPECT_EQ(report_of("", 123456, {}), " Hoofdprogramma wordt nu afgesloten met exitcode:*****\n");
  program_name = "prog  ";
  EXPECT_EQ(report_of("X", 25, {}), "X\nHoofdprogramma: prog\n Hoofdprogramma wordt nu afgesloten met exitcode:   25\n");
}

// ---------------------------------------------------------------- helpers

TEST(Blank, OnlyBlanksOrNothing) {
  EXPECT_TRUE(is_blank(""));
  EXPECT_TRUE(is_blank("   "));
  EXPECT_FALSE(is_blank(" x "));
  EXPECT_FALSE(is_blank("\t"));  // a tab is a separator, not a blank code
}

TEST(ErrorStop, LineOnScreenAndLogThenTerminated) {
  StringSink screen, log;
  try {
    stop_with_line({screen, log}, " ERROR: x\n");
    FAIL() << "no stop";
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.message, kTerminated);
  }
  EXPECT_EQ(screen.data, " ERROR: x\n");
  EXPECT_EQ(log.data, " ERROR: x\n");
}

TEST(TextHash, LengthAndEveryCharacterCount) {
  // The last word is padded with zero bytes: the length must tell them apart.
  EXPECT_NE(hash_text("abc"), hash_text(std::string_view("abc\0", 4)));
  EXPECT_NE(hash_text(""), hash_text(std::string_view("\0", 1)));
  EXPECT_NE(hash_text("NLD000123456789"), hash_text("NLD000123456788"));
  EXPECT_NE(hash_text("12345678x"), hash_text("12345678y"));  // the second word
  EXPECT_EQ(hash_text("same text"), hash_text(std::string("same text")));
}

// The words of a text, little-endian, the last one padded with zero bytes:
// what every length of tail must come to.
TEST(TextHash, WordsAndTailAsDefined) {
  const std::string text = "NLD000123456789 and more than five words of code";
  for (size_t n = 0; n <= text.size(); ++n) {
    const std::string_view s(text.data(), n);
    uint64_t h = mix64(0x9e3779b97f4a7c15ull + n);
    for (size_t i = 0; i < n; i += 8) {
      uint64_t word = 0;
      for (size_t b = 0; b < 8 && i + b < n; ++b) word |= uint64_t{static_cast<unsigned char>(s[i + b])} << (8 * b);
      h = mix64(h ^ word) + 0x9e3779b97f4a7c15ull;
    }
    EXPECT_EQ(hash_text(s), mix64(h)) << n;
  }
}

struct Keyed {
  int32_t key = -1;
  int32_t value = 0;
  bool empty() const { return key < 0; }
};

// Hashes that collide in runs, so that probes pass over other keys and
// wrap around the end of the table.
uint64_t clumped(int32_t key) { return static_cast<uint64_t>(key / 5) * 0x9E3779B97F4A7C15ull; }

TEST(FlatTable, FindsEveryEntryThroughGrowthAndCollisions) {
  FlatTable<Keyed> table;
  auto find = [&](int32_t key) { return table.find(clumped(key), [&](const Keyed& e) { return e.key == key; }); };
  EXPECT_EQ(find(3), nullptr);  // an empty table
  for (int32_t key = 0; key < 5000; key += 2)
    table.add(clumped(key), Keyed{key, key * 3}, [](const Keyed& e) { return clumped(e.key); });
  EXPECT_EQ(table.size(), 2500u);
  EXPECT_LE(table.size() * 4, table.capacity() * 3);
  for (int32_t key = 0; key < 5000; ++key) {
    const Keyed* e = find(key);
    if (key % 2 == 0) {
      ASSERT_NE(e, nullptr) << key;
      EXPECT_EQ(e->value, key * 3);
    } else {
      EXPECT_EQ(e, nullptr) << key;
    }
  }
  find(8)->value = -1;  // entries are changed in place
  EXPECT_EQ(find(8)->value, -1);
}

TEST(FlatTable, RefilledInTheCallersOrder) {
  FlatTable<Keyed> table;
  table.reset(3);
  EXPECT_EQ(table.capacity(), 16u);
  int32_t key = 0;
  while (!table.full()) table.place(clumped(key), Keyed{key, 0}), ++key;
  EXPECT_EQ(key, 12);  // three quarters of 16
  table.reset(table.capacity() * 2);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find(clumped(1), [](const Keyed& e) { return e.key == 1; }), nullptr);
}

TEST(Workers, BudgetIsAThirdOfTheAvailableMemoryAtLeastTheFixedOne) {
  EXPECT_EQ(memory_budget(1e9, 0), 1e9);     // nothing known: the fixed budget
  EXPECT_EQ(memory_budget(1e9, 2e9), 1e9);   // a third is less
  EXPECT_EQ(memory_budget(1e9, 24e9), 8e9);  // a large machine
  EXPECT_GT(available_memory(), 0);
  EXPECT_EQ(memory_budget(1e9, 0.6e9), 0.3e9);  // under a limit: half of what is left, whatever the fixed budget
}

// The memory left under an address-space limit (ulimit -v) bounds what is
// available, and so the budget; tried in a child, which may set its limit.
TEST(Workers, AvailableMemorySeesTheAddressSpaceLimit) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's shadow memory does not fit under a limit";
#endif
  const pid_t child = ::fork();
  if (child == 0) {
    const double before = available_memory();
    std::ifstream status("/proc/self/status");
    std::string word;
    double kb = 0;
    while (status >> word >> kb && word != "VmSize:") status.ignore(256, '\n');
    const rlim_t limit = static_cast<rlim_t>(kb * 1024) + (rlim_t{200} << 20);
    const struct rlimit as{limit, limit};
    if (::setrlimit(RLIMIT_AS, &as) != 0) ::_exit(3);
    const double after = available_memory();
    ::_exit(after > 0 && after <= 210e6 && after < before && memory_budget(1e9) <= after ? 0 : 1);
  }
  int raw = 0;
  ASSERT_EQ(::waitpid(child, &raw, 0), child);
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
}

TEST(Workers, WithinTheMemoryBudget) {
  EXPECT_EQ(workers_within_budget(4, 1000, 1e9), 4u);
  EXPECT_EQ(workers_within_budget(8, 1e9 / 3 + 1, 1e9), 2u);  // just under three workers' worth
  EXPECT_EQ(workers_within_budget(8, 1e9 / 2, 1e9), 2u);      // exactly two
  EXPECT_EQ(workers_within_budget(4, 2e9, 1e9), 1u);          // not even one fits: one all the same
  EXPECT_EQ(workers_within_budget(0, 1000, 1e9), 1u);
  EXPECT_EQ(workers_within_budget(3, 0, 1e9), 3u);
  // 10 million animals and 10 populations: 800 MB of contributions each.
  EXPECT_EQ(workers_within_budget(16, 10 * (10'000'001.0 + 10) * 8, 1 << 30), 1u);
}

TEST(ParallelFor, EveryItemOnceOnAWorkerOfItsOwn) {
  for (unsigned workers : {0u, 1u, 3u, 16u}) {
    for (size_t count : {size_t{0}, size_t{1}, size_t{2}, size_t{1000}}) {
      std::vector<std::atomic<int>> seen(count);
      std::vector<std::atomic<int>> busy(std::max(workers, 1u));
      std::atomic<bool> shared{false};
      parallel_for(count, workers, [&](size_t item, unsigned w) {
        ASSERT_LT(w, std::max(workers, 1u));
        if (busy[w]++ != 0) shared = true;
        ++seen[item];
        --busy[w];
      });
      for (size_t i = 0; i < count; ++i) EXPECT_EQ(seen[i], 1) << i;
      EXPECT_FALSE(shared) << "two threads with one worker index";
    }
  }
}

TEST(ParallelFor, FailureStopsTheRestAndIsRaisedOnTheCaller) {
  for (unsigned workers : {1u, 4u}) {
    std::atomic<size_t> calls{0};
    // Every other item takes a little while, so that the workers cannot
    // run through all of them before the failure is seen, however late
    // the failing worker is scheduled.
    EXPECT_THROW(parallel_for(100000, workers,
                              [&](size_t item, unsigned) {
                                ++calls;
                                if (item == 10) throw std::runtime_error("out of memory");
                                std::this_thread::sleep_for(std::chrono::microseconds(20));
                              }),
                 std::runtime_error);
    EXPECT_LT(calls.load(), 100000u);
  }
}

// Items made on one thread are used on the caller in order, never more
// than the ring's slots ahead, whatever the timing; fewer items than half
// the ring (for which a user that has caught up waits) end the run too.
TEST(MakeAlongside, ItemsUsedInOrderWithinTheRing) {
  for (unsigned workers : {1u, 2u}) {
    for (const auto& [slots, kItems] : {std::pair<size_t, int>{1, 2000}, {3, 2000}, {16, 2001}, {16, 3}, {16, 0}}) {
      std::vector<int> ring(slots, -1);
      std::atomic<int> made{0};
      std::vector<int> used;
      make_alongside(
          workers, slots,
          [&](size_t slot) {
            if (made == kItems) return false;
            ring[slot] = made++;
            return true;
          },
          [&](size_t slot) {
            EXPECT_LE(made.load(), static_cast<int>(used.size() + slots)) << "the maker ran past the ring";
            used.push_back(ring[slot]);
          });
      ASSERT_EQ(used.size(), static_cast<size_t>(kItems));
      for (int i = 0; i < kItems; ++i) ASSERT_EQ(used[static_cast<size_t>(i)], i);
    }
  }
}

// A failure to make is raised after every item made before it is used; a
// failure to use stops the maker (which would otherwise run for ever).
TEST(MakeAlongside, FailuresOfEitherSideReachTheCaller) {
  for (unsigned workers : {1u, 2u}) {
    int used = 0, made = 0;
    EXPECT_THROW(make_alongside(
                     workers, 4,
                     [&](size_t) {
                       if (made == 100) throw std::runtime_error("read error");
                       ++made;
                       return true;
                     },
                     [&](size_t) { ++used; }),
                 std::runtime_error);
    EXPECT_EQ(used, 100);
    std::atomic<int> attempts{0};
    EXPECT_THROW(make_alongside(
                     workers, 4, [&](size_t) { return ++attempts > 0; },
                     [&](size_t) {
                       if (attempts > 50) throw std::logic_error("stop");
                     }),
                 std::logic_error);
  }
}

// ---------------------------------------------------------------------------
// Files written whole or not at all

class WholeFile : public ::testing::Test {
 protected:
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("velmora_whole_" + std::to_string(::getpid()));
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void put(const std::filesystem::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
  size_t entries() { return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {})); }
};

TEST_F(WholeFile, ReplacesOnlyAtCommit) {
  const auto file = dir / "r.csv";
  put(file, "old\n");
  {
    WholeFileSink sink;
    ASSERT_TRUE(sink.open(file.string()));
    sink.write("new ");
    EXPECT_EQ(read(file), "old\n");  // a reader sees the old file until the commit
    sink.write("text\n");
    EXPECT_TRUE(sink.commit());
  }
  EXPECT_EQ(read(file), "new text\n");
  EXPECT_EQ(entries(), 1u);  // no temporary file left
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);  // as a file the program creates, not mkstemp's 0600
}

TEST_F(WholeFile, WithoutCommitNothingChanges) {
  const auto file = dir / "r.csv";
  put(file, "old\n");
  {
    WholeFileSink sink;
    ASSERT_TRUE(sink.open(file.string()));
    sink.write("half");
  }  // a stop or an error on the way
  EXPECT_EQ(read(file), "old\n");
  EXPECT_EQ(entries(), 1u);
  {
    WholeFileSink sink;
    ASSERT_TRUE(sink.open((dir / "fresh.csv").string()));
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "fresh.csv"));
}

TEST_F(WholeFile, ALinkKeepsPointingToTheNewFile) {
  put(dir / "target.csv", "old\n");
  std::filesystem::create_symlink("target.csv", dir / "link.csv");
  WholeFileSink sink;
  ASSERT_TRUE(sink.open((dir / "link.csv").string()));
  sink.write("new\n");
  ASSERT_TRUE(sink.commit());
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.csv"));
  EXPECT_EQ(read(dir / "target.csv"), "new\n");
}

// Prepared is not yet in place: the old file stays until publish(), so a
// run can prepare all its files before it puts the first one in place.
TEST_F(WholeFile, PreparedFilesWaitForThePublish) {
  put(dir / "a.csv", "old a\n");
  WholeFileSink a, b;
  ASSERT_TRUE(a.open((dir / "a.csv").string()));
  ASSERT_TRUE(b.open((dir / "b.csv").string()));
  a.write("new a\n");
  b.write("new b\n");
  ASSERT_TRUE(a.prepare());
  ASSERT_TRUE(b.prepare());
  EXPECT_EQ(read(dir / "a.csv"), "old a\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "b.csv"));
  ASSERT_TRUE(a.publish());
  ASSERT_TRUE(b.publish());
  EXPECT_EQ(read(dir / "a.csv"), "new a\n");
  EXPECT_EQ(read(dir / "b.csv"), "new b\n");
  EXPECT_EQ(entries(), 2u);
}

// A link to a file still to be made: the file is made only by a commit,
// and the link stays a link.
TEST_F(WholeFile, LinkToAFileStillToBeMade) {
  std::filesystem::create_symlink("made.csv", dir / "link.csv");
  {
    WholeFileSink sink;
    ASSERT_TRUE(sink.open((dir / "link.csv").string()));
    sink.write("half");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "made.csv"));
  EXPECT_EQ(entries(), 1u);
  WholeFileSink sink;
  ASSERT_TRUE(sink.open((dir / "link.csv").string()));
  sink.write("whole\n");
  ASSERT_TRUE(sink.commit());
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.csv"));
  EXPECT_EQ(read(dir / "made.csv"), "whole\n");
}

// The longest name a folder takes is written: the temporary name is cut.
TEST_F(WholeFile, NamesOfTheLongestLengthTheFolderTakes) {
  const long longest = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  ASSERT_GT(longest, 8);
  for (const long length : {longest - 8, longest - 1, longest}) {
    const auto file = dir / std::string(static_cast<size_t>(length), 'n');
    WholeFileSink sink;
    ASSERT_TRUE(sink.open(file.string())) << length << ": " << std::strerror(errno);
    sink.write("x\n");
    ASSERT_TRUE(sink.commit()) << length;
    EXPECT_EQ(read(file), "x\n");
    std::filesystem::remove(file);
  }
  EXPECT_EQ(entries(), 0u);
}

// A signal removes every remembered temporary file and ends the process
// with 128 + the signal; a forgotten one stays. Tried in a child.
TEST_F(WholeFile, SignalRemovesTheRememberedTemporaries) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    put(dir / "kept", "k");
    const pid_t child = ::fork();
    if (child == 0) {
      remove_temporaries_on_signals();
      WholeFileSink sink;
      if (!sink.open((dir / "r.csv").string())) ::_exit(1);
      sink.write("part");
      forget_temporary(remember_temporary((dir / "kept").c_str()));
      ::raise(sig);
      ::_exit(2);
    }
    int raw = 0;
    ASSERT_EQ(::waitpid(child, &raw, 0), child);
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 128 + sig);
    EXPECT_EQ(entries(), 1u);  // only "kept"
    EXPECT_TRUE(std::filesystem::exists(dir / "kept"));
  }
}

TEST_F(WholeFile, FailuresAreReported) {
  WholeFileSink missing_folder;
  EXPECT_FALSE(missing_folder.open((dir / "no" / "r.csv").string()));
  // Not a regular file: written directly, and a full device fails the commit.
  WholeFileSink full;
  ASSERT_TRUE(full.open("/dev/full"));
  full.write(std::string(1 << 21, 'x'));
  EXPECT_FALSE(full.commit());
}

}  // namespace
}  // namespace vm

namespace {

// FIPS 180-4's examples, a message that ends exactly at a block, and one
// fed in pieces that straddle the blocks.
TEST(Sha256, KnownDigests) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto& [text, digest] : cases) {
    vm::Sha256 whole;
    whole.add(text);
    EXPECT_EQ(whole.hex(), digest) << text.size();
  }
  vm::Sha256 pieces;
  const std::string million(1000000, 'a');
  for (size_t at = 0; at < million.size(); at += 999) pieces.add(std::string_view(million).substr(at, 999));
  EXPECT_EQ(pieces.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// The processor's SHA instructions (where present) and the portable rounds
// agree on random messages of every length around the block boundaries and
// on long ones fed in uneven pieces.
TEST(Sha256, InstructionsAgreeWithPortableRounds) {
  std::mt19937_64 random(7);
  std::string message;
  for (size_t length = 0; length < 200000; length = length < 300 ? length + 1 : length * 3) {
    message.resize(length);
    for (char& c : message) c = static_cast<char>(random());
    vm::Sha256 fast, portable(true);
    for (size_t at = 0; at < length;) {
      const size_t piece = std::min<size_t>(length - at, 1 + random() % 200);
      fast.add(std::string_view(message).substr(at, piece));
      at += piece;
    }
    portable.add(message);
    ASSERT_EQ(fast.hex(), portable.hex()) << length;
  }
}

}  // namespace

// The store of kept pages: blocks alive together never share a byte, a
// zeroed block is zero wherever its pages come from, kept pages go to the
// next request before fresh ones, and nothing else is taken back.
namespace {
constexpr size_t kMiB = size_t{1} << 20;

struct LargeBlock {
  unsigned char* p;
  size_t bytes;
  unsigned char fill;
};
// Every 4 KiB page's first byte and the last byte hold `value`.
bool holds(const unsigned char* p, size_t bytes, unsigned char value) {
  for (size_t i = 0; i < bytes; i += 4096)
    if (p[i] != value) return false;
  return p[bytes - 1] == value;
}
size_t whole_huge_pages(size_t bytes) { return (bytes + 2 * kMiB - 1) / (2 * kMiB) * (2 * kMiB); }
}  // namespace

TEST(KeptBlocks, ReusedPagesKeepBlocksApartAndZeroedBlocksZero) {
  vm::keep_freed_large_blocks();
  if (void* p = vm::allocate_large(4 * kMiB, false)) {
    EXPECT_TRUE(vm::free_large(p));
  } else {
    GTEST_SKIP() << "the store stays off under a memory limit";
  }
  std::mt19937 rng(7);
  std::vector<LargeBlock> live;
  for (int step = 0; step < 160; ++step) {
    if (live.size() < 6 && (live.empty() || rng() % 3 != 0)) {
      const size_t bytes = (4 + rng() % 30) * kMiB + rng() % 5000;
      const bool zeroed = rng() % 2 == 0;
      const size_t kept = vm::kept_large_block_bytes();
      auto* p = static_cast<unsigned char*>(vm::allocate_large(bytes, zeroed));
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (2 * kMiB), 0u);
      // Kept pages go first, unless the process grew past its most since
      // the last request: then they went back before it.
      const size_t after = vm::kept_large_block_bytes();
      EXPECT_TRUE(after == kept - std::min(kept, whole_huge_pages(bytes)) || after == 0) << "step " << step;
      if (zeroed) {
        EXPECT_TRUE(holds(p, bytes, 0)) << "step " << step;
      }
      const auto fill = static_cast<unsigned char>(1 + step % 250);
      std::memset(p, fill, bytes);
      live.push_back({p, bytes, fill});
    } else {
      const size_t k = rng() % live.size();
      EXPECT_TRUE(holds(live[k].p, live[k].bytes, live[k].fill)) << "step " << step;
      EXPECT_TRUE(vm::free_large(live[k].p));
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
    }
  }
  for (const LargeBlock& b : live) {
    EXPECT_TRUE(holds(b.p, b.bytes, b.fill));
    EXPECT_TRUE(vm::free_large(b.p));
  }
  EXPECT_GT(vm::kept_large_block_bytes(), 0u);
  vm::give_back_kept_pages();
  EXPECT_EQ(vm::kept_large_block_bytes(), 0u);
  EXPECT_FALSE(vm::free_large(nullptr));
  void* other = std::aligned_alloc(2 * kMiB, 4 * kMiB);
  EXPECT_FALSE(vm::free_large(other));
  std::free(other);
}

TEST(KeptBlocks, ThreadsAskingAndGivingBackAtOnce) {
  vm::keep_freed_large_blocks();
  std::atomic<int> wrong{0};
  auto work = [&](unsigned char fill) {
    for (int i = 0; i < 40; ++i) {
      const size_t bytes = (4 + static_cast<size_t>(i % 5) * 3) * kMiB;
      auto* p = static_cast<unsigned char*>(vm::allocate_huge(bytes));
      std::memset(p, fill, bytes);
      std::this_thread::yield();
      if (!holds(p, bytes, fill)) ++wrong;
      vm::free_huge(p);
    }
  };
  std::thread a(work, 0x5a), b(work, 0xa5);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Pages asked for ahead are faulted in and kept, at most as many as asked
// for, and the next block takes them.
TEST(KeptBlocks, PagesAheadFillTheStoreForTheNextBlock) {
  vm::keep_freed_large_blocks();
  vm::give_back_kept_pages();
  {
    vm::PagesAhead ahead;
    ahead.want(40 * kMiB);
    ahead.want(70 * kMiB);
    for (int i = 0; i < 400 && vm::kept_large_block_bytes() < 64 * kMiB; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const size_t kept = vm::kept_large_block_bytes();
  if (kept == 0) GTEST_SKIP() << "the store stays off under a memory limit";
  EXPECT_EQ(kept, 64 * kMiB);  // whole chunks, no more than asked for
  auto* p = static_cast<unsigned char*>(vm::allocate_large(50 * kMiB, true));
  ASSERT_NE(p, nullptr);
  EXPECT_LE(vm::kept_large_block_bytes(), 14 * kMiB);
  EXPECT_TRUE(holds(p, 50 * kMiB, 0));
  vm::free_large(p);
  vm::give_back_kept_pages();
}

// Kept pages go back once the process grows past the most it held at a
// request while they are kept: they could only add to its new peak.
TEST(KeptBlocks, GivenBackWhenTheProcessGrowsPastItsMost) {
  vm::keep_freed_large_blocks();
  vm::give_back_kept_pages();
  void* a = vm::allocate_large(32 * kMiB, false);
  if (a == nullptr) GTEST_SKIP() << "the store stays off under a memory limit";
  std::memset(a, 1, 32 * kMiB);
  vm::free_large(a);
  ASSERT_EQ(vm::kept_large_block_bytes(), 32 * kMiB);
  std::vector<unsigned char> elsewhere(96 * kMiB, 1);  // memory the store does not give
  void* b = vm::allocate_large(4 * kMiB, false);
  EXPECT_EQ(vm::kept_large_block_bytes(), 0u);
  vm::free_large(b);
  EXPECT_EQ(elsewhere[12345], 1);
  vm::give_back_kept_pages();
}
