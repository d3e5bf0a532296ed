// The public interface, used as another program uses it: only
// <velmora/velmora.h>.
#include <velmora/velmora.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using velmora::Error;

// A pedigree file of its own, removed at the end of the test.
struct TempFile {
  std::string path;
  explicit TempFile(const std::string& text) {
    char name[] = "/tmp/velmora_library_test_XXXXXX";
    const int fd = ::mkstemp(name);
    ::close(fd);
    path = name;
    std::ofstream(path) << text;
  }
  ~TempFile() { std::remove(path.c_str()); }
};

// Two populations over two periods; x and y are full sibs, so their
// offspring k has F = 1/4. B has no animals in 2002.
const std::string kHerd =
    "s 0 0 A 2001\n"
    "d 0 0 B 2001\n"
    "x s d A 2001\n"
    "y s d B 2001\n"
    "k x y A 2002\n";

velmora::ReadOptions no_header() {
  velmora::ReadOptions reading;
  reading.header = velmora::ReadOptions::Header::kNo;
  return reading;
}

TEST(Library, ColumnsReadAsTheSameFile) {
  const TempFile file(kHerd);
  const velmora::Pedigree from_file = velmora::load(file.path, no_header());
  const velmora::Columns columns{{"s", "d", "x", "y", "k"}, {"0", "0", "s", "s", "x"}, {"0", "0", "d", "d", "y"},
                                 {"A", "B", "A", "B", "A"}, {"2001", "2001", "2001", "2001", "2002"}};
  const velmora::Pedigree from_columns = velmora::load(columns);
  ASSERT_EQ(from_file.size(), 5u);
  ASSERT_EQ(from_columns.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(from_columns.code(i), from_file.code(i));
    EXPECT_EQ(from_columns.sire(i), from_file.sire(i));
    EXPECT_EQ(from_columns.inbreeding(i), from_file.inbreeding(i));
  }
  EXPECT_EQ(from_file.code(4), "k");
  EXPECT_EQ(from_file.sire(4), 2);  // x, in loading order
  EXPECT_EQ(from_file.sire(0), -1);
  EXPECT_EQ(from_file.inbreeding(4), 0.25);
  EXPECT_EQ(from_file.generation(4), 3);
  EXPECT_EQ(from_file.periods(), (std::vector<std::string>{"2001", "2002"}));
}

TEST(Library, AbsentFiguresAndGroupColumns) {
  const TempFile file(kHerd);
  const velmora::Results r = velmora::analyse(velmora::load(file.path, no_header()));
  ASSERT_EQ(r.pairs.size(), 1u);
  const velmora::PairIndex pair = r.pairs[0];
  EXPECT_EQ(r.populations[pair.first], "B");
  EXPECT_EQ(r.populations[pair.second], "A");
  EXPECT_FALSE(velmora::is_absent(r.index(pair, 0)));
  EXPECT_TRUE(velmora::is_absent(r.index(pair, 1)));  // no B in 2002
  EXPECT_TRUE(velmora::is_absent(r.relationship(0, 1, 1)));
  EXPECT_EQ(r.animals(1, 1), 0);
  EXPECT_EQ(r.relationship(0, 0, 1), 1.25);  // k alone: 1 + F
  ASSERT_EQ(r.groups.size(), velmora::group_statistics().size());
  for (size_t c = 0; c < r.groups.size(); ++c) EXPECT_EQ(r.groups[c].name, velmora::group_statistics()[c]);
  EXPECT_EQ(r.groups[0].name, "n");
  for (size_t t = 0; t < r.periods.size(); ++t)
    for (size_t p = 0; p < r.populations.size(); ++p) {
      const double n = r.groups[0].values[t * r.populations.size() + p];
      if (r.animals(p, t) == 0) {
        EXPECT_TRUE(velmora::is_absent(n));
      } else {
        EXPECT_EQ(n, static_cast<double>(r.animals(p, t)));
      }
    }
  // The F statistics per period; one population in 2002: no f_st.
  ASSERT_EQ(r.period_figures.size(), 7u);
  EXPECT_EQ(r.period_figures[0].name, "populations");
  EXPECT_EQ(r.period_figures[0].values, (std::vector<double>{2, 1}));
  EXPECT_EQ(r.period_figures[5].name, "f_st");
  EXPECT_TRUE(velmora::is_absent(r.period_figures[5].values[1]));
}

TEST(Library, RecordsJoinedToTheirAnimals) {
  const velmora::Columns columns{{"a", "b", "a", "c"}, {"0", "0", "0", "a"}, {"0", "0", "0", "b"},
                                 {"P", "P", "P", "P"}, {"1", "1", "1", "2"}};
  const velmora::Pedigree pedigree = velmora::load(columns);
  EXPECT_EQ(velmora::animals_of_records(pedigree, {"a", "b", " a", "c", "zz"}), (std::vector<int64_t>{0, 1, 0, 2, -1}));
}

TEST(Library, GenerationsPerAnimal) {
  const TempFile file(kHerd);
  const velmora::Pedigree pedigree = velmora::load(file.path, no_header());
  ASSERT_EQ(pedigree.animal_figures().size(), 3u);
  const auto& [name, equivalent] = pedigree.animal_figures()[0];
  EXPECT_EQ(name, "equivalent_generations");
  EXPECT_EQ(equivalent, (std::vector<double>{0, 0, 1, 1, 2}));  // s d x y k
  EXPECT_EQ(pedigree.animal_figures()[2].values[4], 2.0);     // k: maximum generations
  // The whole table at once says what the calls per animal say.
  const velmora::Pedigree::Table table = pedigree.table(2);
  for (size_t i = 0; i < pedigree.size(); ++i) {
    EXPECT_EQ(table.code[i], pedigree.code(i));
    EXPECT_EQ(table.sire[i], pedigree.sire(i));
    EXPECT_EQ(table.period[i], pedigree.period(i));
    EXPECT_EQ(table.generation[i], pedigree.generation(i));
    EXPECT_EQ(table.inbreeding[i], pedigree.inbreeding(i));
  }
}

// Hears every stage and count; may ask to stop after so many units.
struct Recorder : velmora::Progress {
  std::vector<std::pair<std::string, int64_t>> events;  // ("stage:name", total) or ("", units)
  int64_t stop_after = -1, done = 0;
  void stage(std::string_view name, int64_t total) override { events.emplace_back("stage:" + std::string(name), total); }
  void advance(int64_t units) override {
    events.emplace_back("", units);
    done += units;
  }
  bool stop_requested() override { return stop_after >= 0 && done >= stop_after; }
};

// Twenty generations of 300 animals, each by two parents of the one
// before: the inbreeding goes generation by generation.
std::string generations_file() {
  std::string text;
  for (int g = 0; g < 20; ++g)
    for (int i = 0; i < 300; ++i) {
      const std::string sire = g == 0 ? "0" : "a" + std::to_string(g - 1) + "_" + std::to_string((i * 7) % 300);
      const std::string dam = g == 0 ? "0" : "a" + std::to_string(g - 1) + "_" + std::to_string((i * 13 + 1) % 300);
      text += "a" + std::to_string(g) + "_" + std::to_string(i) + " " + sire + " " + dam + " P" + std::to_string(i % 3) +
              " " + std::to_string(1990 + g) + "\n";
    }
  return text;
}

TEST(Library, InbreedingReportsWhileItRuns) {
  const TempFile file(generations_file());
  Recorder progress;
  const velmora::Pedigree pedigree = velmora::load(file.path, no_header(), &progress);
  velmora::analyse(pedigree, {}, &progress);
  std::vector<std::string> stages;
  for (const auto& [name, total] : progress.events)
    if (!name.empty()) stages.push_back(name.substr(6));
  EXPECT_EQ(stages, (std::vector<std::string>{"counting", "collecting", "animals", "parents", "generations", "sorting",
                                              "links", "inbreeding", "periods"}));
  // Between "inbreeding" and the next stage: several counts, adding up to
  // the animals.
  size_t at = 0;
  while (progress.events[at].first != "stage:inbreeding") ++at;
  EXPECT_EQ(progress.events[at].second, 6000);
  int64_t sum = 0, steps = 0;
  for (++at; progress.events[at].first.empty(); ++at, ++steps) sum += progress.events[at].second;
  EXPECT_EQ(sum, 6000);
  EXPECT_GE(steps, 10);
  EXPECT_EQ(progress.events[at].first, "stage:periods");
  EXPECT_EQ(progress.events[at].second, 20);
}

TEST(Library, EveryEndingIsAnError) {
  const TempFile loop("a b 0 P 1\nb a 0 P 1\n");
  const TempFile five_fields(kHerd);
  const TempFile herd(generations_file());
  struct Case {
    const char* what;
    std::function<void()> call;
    Error::Kind kind;
    const char* says;
  };
  const velmora::Columns uneven{{"a", "b"}, {"0"}, {"0", "0"}, {"P", "P"}, {"1", "1"}};
  const velmora::Columns tab{{"a\tb"}, {"0"}, {"0"}, {"P"}, {"1"}};
  velmora::ReadOptions beyond = no_header();
  beyond.period = 6;
  velmora::ReadOptions three_names;
  three_names.field_names = {"id", "sire", "dam"};
  const std::vector<Case> cases = {
      {"missing file", [] { velmora::load("/nonexistent/herd.ped"); }, Error::Kind::kFile, "/nonexistent/herd.ped"},
      {"loop", [&] { velmora::load(loop.path, no_header()); }, Error::Kind::kData, "loop"},
      {"uneven columns", [&] { velmora::load(uneven); }, Error::Kind::kArgument, "different lengths"},
      {"tab in a code", [&] { velmora::load(tab); }, Error::Kind::kArgument, "tab"},
      {"field beyond the record", [&] { velmora::load(five_fields.path, beyond); }, Error::Kind::kArgument, "field number 6"},
      {"three field names", [&] { velmora::load(five_fields.path, three_names); }, Error::Kind::kArgument, "five names"},
      {"interrupted", [&] {
         Recorder stop;
         stop.stop_after = 1000;
         velmora::load(herd.path, no_header(), &stop);
       }, Error::Kind::kInterrupted, "interrupted"},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.what << ": no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), c.kind) << c.what << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.what << ": " << e.what();
    }
  }
}

}  // namespace
