// The scan and the loading passes, on pedigrees held in memory.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/format.h"
#include "common/progress.h"
#include "common/stop.h"
#include "hash/module_hash.h"
#include "input/line_format.h"
#include "input/record_reader.h"
#include "input/load.h"
#include "input/scan.h"

namespace vm::input {
namespace {

struct Loaded {
  StringSink screen, log;
  ScanResult scan;
  std::unique_ptr<CodeStore> codes;
  Pedigree animals;
};

// Runs the scan and both loading passes over `text` (fields in the order
// animal, sire, dam, population, period), on `threads` threads (0: all).
void load(const std::string& text, Loaded& out, unsigned threads = 0) {
  PedigreeFile file;
  file.open_memory(text);
  RecordSource source(file, 5, FieldNumbers{1, 2, 3, 4, 5});
  hash::ModuleHash hash(&out.screen, nullptr);
  StageLines stage_lines(out.screen);
  const Report report{out.screen, out.log, stage_lines};
  out.scan = scan_pedigree(source, hash, out.codes, report);
  out.animals = load_animals(source, UnknownParents{}, out.scan.R, hash, *out.codes, report, threads);
}

// Pads a pedigree to ten records with founders of population Z, period Z.
std::string ten(std::string text, int have) {
  for (int k = have; k < 10; ++k) text += "ZF" + std::to_string(k) + " 0 0 Z Z\n";
  return text;
}

// On two threads the reading thread looks up parent codes while it is
// ahead: the numbers, the founders added on the way and the log are those
// of one thread, on a herdbook of sires used again and again, dams with
// a record later in the file, parents without one (some named often),
// repeated records and unknown parents, the records of a sire's offspring
// often one after another.
TEST(Load, TwoThreadsGiveTheNumbersOfOne) {
  std::mt19937 rng(7);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  std::string text, sire;
  for (int i = 0; i < 60000; ++i) {
    auto parent = [&](bool sire) -> std::string {
      const int kind = pick(10);
      if (kind == 0) return "0";
      if (kind == 1) return "NR" + std::to_string(pick(3000));            // no record
      if (kind == 2 && !sire) return "A" + std::to_string(i + 1 + pick(500));  // a record to come
      const int back = sire ? 1 + pick(std::min(i, 200) + 1) * 37 : 1 + pick(std::min(i, 5000) + 1);
      return i >= back ? "A" + std::to_string(i - back) : "0";
    };
    const int animal = pick(50) == 0 && i > 0 ? pick(i) : i;  // now and then a repeated record
    if (sire.empty() || pick(4) == 0) sire = parent(true);          // runs of offspring of one sire
    text += "A" + std::to_string(animal) + " " + sire + " " + parent(false) + " P" + std::to_string(pick(3)) +
            " " + std::to_string(1990 + i / 4000) + "\n";
  }
  Loaded one, two;
  load(text, one, 1);
  load(text, two, 2);
  ASSERT_EQ(two.animals.n, one.animals.n);
  EXPECT_EQ(two.animals.sire, one.animals.sire);
  EXPECT_EQ(two.animals.dam, one.animals.dam);
  EXPECT_EQ(two.animals.pop, one.animals.pop);
  EXPECT_EQ(two.animals.period, one.animals.period);
  EXPECT_EQ(two.log.data, one.log.data);
  EXPECT_EQ(two.screen.data, one.screen.data);
  for (int32_t x = 1; x <= one.animals.n; x += 97) EXPECT_EQ(two.codes->animal_code(x), one.codes->animal_code(x));
}

TEST(Realparent, UnknownParentCodes) {
  for (const char* unknown : {"0", "-", "-1", "A-17", "0   "}) EXPECT_FALSE(REALPARENT(unknown)) << unknown;
  for (const char* known : {"00", "O", "12", "   "}) EXPECT_TRUE(REALPARENT(known)) << known;
}

TEST(Scan, NumbersCodesInTextOrder) {
  Loaded l;
  load(ten("A 0 0 K2 9\nB 0 0 K1 10\nC 0 0 K3 9\nD 0 0 K1 9\n", 4), l);
  EXPECT_EQ(l.scan.R, 10);
  EXPECT_EQ(l.scan.Q, 4);
  EXPECT_EQ(l.scan.P, 3);
  EXPECT_EQ(l.codes->pop_name(1), "K1");
  EXPECT_EQ(l.codes->pop_name(2), "K2");
  EXPECT_EQ(l.codes->pop_name(3), "K3");
  EXPECT_EQ(l.codes->pop_name(4), "Z");
  EXPECT_EQ(l.codes->period_name(1), "10");
  EXPECT_EQ(l.codes->period_name(2), "9");
  EXPECT_EQ(l.animals.pop[1], 2);
  EXPECT_EQ(l.animals.period[2], 1);
}

TEST(Scan, PopulationCodeEqualToPeriodCodeSharesOneSlot) {
  Loaded l;
  load(ten("A 0 0 X X\nB 0 0 X Y\n", 2), l);
  EXPECT_EQ(l.codes->pop2hash[1], l.codes->period2hash[1]);
  EXPECT_EQ(l.codes->pop_name(1), "X");
  EXPECT_EQ(l.codes->period_name(2), "Y");
}

TEST(Scan, LogLinesAndTooFewRecords) {
  Loaded l;
  load(ten("", 0), l);
  EXPECT_EQ(l.log.data.substr(0, 38), "\n  First 10 records pedigree file: \n R");
  EXPECT_NE(l.log.data.find(" RECORD 10: \"ZF9                      \", \"0                        \", "),
            std::string::npos);
  EXPECT_NE(l.log.data.find("  Number of animals read:           10\n"
                            "  Number of populations read:            1\n"
                            "  Number of periods read:            1\n"
                            "  Number of populations stored in hash table:            1\n"
                            "  Number of periods stored in hash table:            1\n"),
            std::string::npos);

  Loaded nine;
  std::string text = ten("", 1);  // nine records
  EXPECT_THROW(load(text, nine), FileError);
}

TEST(Scan, RecordWithoutPopulationCodeStops) {
  Loaded l;
  EXPECT_THROW(load(ten("", 0) + "B,0,0,,T\n", l), Stop);
  EXPECT_NE(l.screen.data.find("  ERROR: No population or period code in record           11\n"), std::string::npos);
  EXPECT_NE(l.log.data.find("  ERROR: No population or period code in record           11\n"), std::string::npos);
}

TEST(Load, WorkedExample) {
  Loaded l;
  load(ten("A1 0 0 P1 T1\nA2 0 0 P1 T1\nA3 A1 X9 P2 T2\nA1 0 - P1 T1\n", 4), l);
  const Pedigree& a = l.animals;
  ASSERT_EQ(a.n, 10);  // A1, A2, A3, six padding founders, then X9
  EXPECT_EQ(l.codes->animal_code(10), "X9");
  EXPECT_EQ(a.sire[3], 1);
  EXPECT_EQ(a.dam[3], 10);
  EXPECT_EQ(a.sire[1], 0);
  EXPECT_EQ(a.dam[1], 0);
  EXPECT_EQ(a.period[10], 0);
  EXPECT_EQ(a.pop[10], 0);
  EXPECT_NE(l.log.data.find("  WARNING: Animal appears in list more than once! A1 - ignored.\n"), std::string::npos);
  EXPECT_NE(l.log.data.find("  Animal: A3: Dam not found: X9\n"), std::string::npos);
  EXPECT_NE(l.log.data.find("  New number of animals in pedigree:           10\n"), std::string::npos);
  EXPECT_NE(l.screen.data.find(" Reading animals ...\n  Reading pedigree ...\n"), std::string::npos);
}

TEST(Load, RepeatedRecordsNeverEraseAKnownParent) {
  Loaded l;
  // A: first record dam only; second names sire and another dam; third
  // has parents but is skipped since the sire is known by then.
  load(ten("S 0 0 P T\nD1 0 0 P T\nD2 0 0 P T\nA 0 D1 P T\nA S D2 P T\nA D2 S P T\nB 0 D1 P T\nB 0 0 P T\n", 8), l);
  const Pedigree& a = l.animals;
  EXPECT_EQ(a.sire[4], 1);
  EXPECT_EQ(a.dam[4], 3);
  EXPECT_EQ(a.dam[5], 2);  // "B 0 0" does not erase the dam D1
}

TEST(Load, EmptyParentValueIsUnknownNotThePreviousParent) {
  Loaded l;
  load(ten("S 0 0 P T\nD 0 0 P T\nA,S,D,P,T\nB,,,P,T\nC,S,,P,T\n", 5), l);
  const Pedigree& a = l.animals;
  EXPECT_EQ(a.sire[4], 0);
  EXPECT_EQ(a.dam[4], 0);
  EXPECT_EQ(a.sire[5], 1);
  EXPECT_EQ(a.dam[5], 0);
}

TEST(Load, MissingParentsAreAddedOnce) {
  Loaded l;
  load(ten("A M M P T\nB M N P T\nC N 0 P T\n", 3), l);
  const Pedigree& a = l.animals;
  EXPECT_EQ(a.n, 12);  // 10 records, then M and N
  EXPECT_EQ(a.sire[1], 11);
  EXPECT_EQ(a.dam[1], 11);
  EXPECT_EQ(a.dam[2], 12);
  EXPECT_EQ(a.sire[3], 12);
  const std::string& log = l.log.data;
  EXPECT_NE(log.find("  Animal: A: Sire not found: M\n  Animal: B: Dam not found: N\n  New number"), std::string::npos)
      << log;
}

TEST(Load, BlankAnimalCodeStops) {
  Loaded l;
  EXPECT_THROW(load(ten("", 0) + ",S,D,P,T\n", l), Stop);
  EXPECT_NE(l.screen.data.find("  ERROR: No animal code in record           11\n"), std::string::npos);
}

TEST(Load, CodesMatchOnTheirFirst25Characters) {
  Loaded l;
  load(ten("ABCDEFGHIJKLMNOPQRSTUVWXYZ1 0 0 P T\nABCDEFGHIJKLMNOPQRSTUVWXYZ2 0 0 P T\n", 2), l);
  EXPECT_EQ(l.animals.n, 9);
  EXPECT_NE(l.log.data.find("WARNING: Animal appears in list more than once! ABCDEFGHIJKLMNOPQRSTUVWXY - ignored."),
            std::string::npos);
}

}  // namespace
}  // namespace vm::input

namespace vm::input {
namespace {

// The loading passes as written, a record at a time with a code-table call
// for every code, to hold the memoised and batched passes against.
Pedigree load_plainly(const std::string& text, CodeStore& codes, hash::ModuleHash& hash, StringSink& log) {
  PedigreeFile file;
  file.open_memory(text);
  Fields fields(5);
  FieldNumbers fn{1, 2, 3, 4, 5};
  Pedigree a;
  a.period.assign(1, 0);
  a.pop.assign(1, 0);
  while (true) {
    fields.blank();
    if (read_record(file, fields) != ReadStatus::kOk) break;
    std::string_view code = fields.get(fn.animal);
    hash::Hit hit = codes.look_up(hash, code, true);
    int32_t& number = CodeStore::entry(codes.hash2an, hit.id);
    if (number != 0) {
      log.write(" WARNING: duplicate " + std::string(rtrim(code)) + "\n");
      continue;
    }
    number = ++a.n;
    codes.an2hash.push_back(hit.id);
    a.period.push_back(CodeStore::entry(codes.hash2period, codes.look_up(hash, fields.get(fn.period), false).id));
    a.pop.push_back(CodeStore::entry(codes.hash2pop, codes.look_up(hash, fields.get(fn.pop), false).id));
  }
  a.sire.assign(static_cast<size_t>(a.n) + 1, 0);
  a.dam.assign(static_cast<size_t>(a.n) + 1, 0);
  file.rewind();
  while (true) {
    fields.blank();
    if (read_record(file, fields) != ReadStatus::kOk) break;
    const int32_t an = CodeStore::entry(codes.hash2an, codes.look_up(hash, fields.get(fn.animal), false).id);
    if (a.sire[an] != 0) continue;
    int32_t parents[2] = {0, 0};
    for (int role = 0; role < 2; ++role) {
      std::string_view p = fields.get(role == 0 ? fn.sire : fn.dam);
      if (rtrim(p).empty() || !REALPARENT(p)) continue;
      hash::Hit hit = codes.look_up(hash, p, true);
      int32_t& number = CodeStore::entry(codes.hash2an, hit.id);
      if (number == 0) {
        number = ++a.n;
        codes.an2hash.push_back(hit.id);
        for (auto* v : {&a.period, &a.pop, &a.sire, &a.dam}) v->push_back(0);
      }
      parents[role] = number;
    }
    if (parents[0] != 0) a.sire[an] = parents[0];
    if (parents[1] != 0) a.dam[an] = parents[1];
  }
  return a;
}

// Up to about 400 records: several batches of records read ahead.
TEST(Load, MemoisedAndBatchedPassesEqualThePlainPasses) {
  std::mt19937 rng(3);
  for (int round = 0; round < 60; ++round) {
    // Few sires, many dams, duplicates, missing parents, unknown codes.
    std::string text;
    const int records = 10 + static_cast<int>(rng() % 400);
    auto pick = [&](int k) { return static_cast<int>(rng() % static_cast<uint32_t>(k)); };
    for (int r = 0; r < records; ++r) {
      const int animal = pick(records + 5);
      std::string sire = pick(6) == 0 ? "0" : "S" + std::to_string(pick(8));
      std::string dam = pick(7) == 0 ? "-" : pick(5) == 0 ? "" : std::to_string(pick(records + 40));
      text += std::to_string(animal) + "," + sire + "," + dam + ",P" + std::to_string(pick(4)) + ",Y" +
              std::to_string(pick(3)) + "\n";
    }
    Loaded fast;
    try {
      load(text, fast);
    } catch (const FileError&) {
      continue;  // fewer than ten records
    }
    // The same scan, then the plain passes on a table in the same state.
    StringSink screen, log;
    PedigreeFile file;
    file.open_memory(text);
    RecordSource source(file, 5, FieldNumbers{1, 2, 3, 4, 5});
    hash::ModuleHash hash(&screen, nullptr);
    std::unique_ptr<CodeStore> codes;
    scan_pedigree(source, hash, codes, {screen, log});
    Pedigree plain = load_plainly(text, *codes, hash, log);
    ASSERT_EQ(fast.animals.n, plain.n) << text;
    EXPECT_EQ(fast.animals.sire, plain.sire);
    EXPECT_EQ(fast.animals.dam, plain.dam);
    EXPECT_EQ(fast.animals.period, plain.period);
    EXPECT_EQ(fast.animals.pop, plain.pop);
    EXPECT_EQ(fast.codes->an2hash, codes->an2hash);
    EXPECT_EQ(fast.codes->table.ids(), codes->table.ids());
    for (int32_t x = 1; x <= plain.n; ++x) {
      ASSERT_EQ(fast.codes->table.slot_of(fast.codes->an2hash[x]), codes->table.slot_of(codes->an2hash[x]));
    }
  }
}


// ---------------------------------------------------------------------------
// A record per line (the option interface)

TEST(LineSplitter, ValuesAsTheSeparatorGivesThem) {
  struct Case {
    Separator separator;
    std::string line;
    std::vector<std::string> values;
  };
  const std::vector<Case> cases = {
      {Separator::kTab, "\"Cow 27\"\t0\t0\t\"Holstein Rbt\"\t2000", {"Cow 27", "0", "0", "Holstein Rbt", "2000"}},
      {Separator::kTab, "1306\t\t\tU\t0000", {"1306", "", "", "U", "0000"}},
      {Separator::kTab, "a b\t c \t", {"a b", "c", ""}},  // blanks around a value are none of it
      {Separator::kComma, "1306,,,U,0000", {"1306", "", "", "U", "0000"}},
      {Separator::kComma, " \"a, b\" ,\"say \"\"hi\"\"\",x", {"a, b", "say \"hi\"", "x"}},
      {Separator::kComma, "DE/12,3*0,-", {"DE/12", "3*0", "-"}},  // no slash or repeat count here
      {Separator::kSemicolon, "a;b c;;\"d;e\"", {"a", "b c", "", "d;e"}},
      {Separator::kBlank, "  a \t \"b c\"  d ", {"a", "b c", "d"}},
      {Separator::kBlank, "O'Brien 'x y'", {"O'Brien", "x y"}},
      // Values that end at, before and past eight characters; bytes of UTF-8
      // and control characters, which are parts of values.
      {Separator::kBlank, "1234567 12345678\t123456789 abcdefghijklmnopq",
       {"1234567", "12345678", "123456789", "abcdefghijklmnopq"}},
      {Separator::kBlank, "K\xc3\xbch\xc3\xa9\xc3\xa9\xc3\xa9 \x01\x02\x03\x04\x05\x06\x07\x08\x0b\r x",
       {"K\xc3\xbch\xc3\xa9\xc3\xa9\xc3\xa9", "\x01\x02\x03\x04\x05\x06\x07\x08\x0b\r", "x"}},
      {Separator::kBlank, "\xff\xff\xff\xff\xff\xff\xff\xff\xff\t\xa0\xa0\xa0\xa0\xa0\xa0\xa0 !!!!!!!!",
       {"\xff\xff\xff\xff\xff\xff\xff\xff\xff", "\xa0\xa0\xa0\xa0\xa0\xa0\xa0", "!!!!!!!!"}},
  };
  for (const Case& c : cases) {
    LineSplitter splitter(c.separator);
    ASSERT_TRUE(splitter.split(c.line)) << c.line << ": " << splitter.error();
    const std::vector<std::string> got(splitter.values().begin(), splitter.values().end());
    EXPECT_EQ(got, c.values) << c.line;
  }
}

TEST(LineSplitter, QuotesThatCannotBeRead) {
  for (const auto& [separator, line] : std::vector<std::pair<Separator, std::string>>{
           {Separator::kTab, "\"Cow 27\t0\t0"}, {Separator::kComma, "\"a\"b,c"}, {Separator::kBlank, "\"a\"b c"}}) {
    LineSplitter splitter(separator);
    EXPECT_FALSE(splitter.split(line)) << line;
    EXPECT_FALSE(splitter.error().empty());
  }
}

TEST(LineFormat, SeparatorFromTheFirstLine) {
  EXPECT_EQ(detect_separator("a\tb\tc,d"), Separator::kTab);
  EXPECT_EQ(detect_separator("a,b,c d"), Separator::kComma);
  EXPECT_EQ(detect_separator("a;b;c,5;d"), Separator::kSemicolon);
  EXPECT_EQ(detect_separator("\"a,b,c\";d;e"), Separator::kSemicolon);  // quoted commas do not count
  EXPECT_EQ(detect_separator("a b  c"), Separator::kBlank);
}

TEST(LineFormat, HeaderWordsAndColumnNames) {
  const std::vector<std::string_view> header = {"id", "Sire_ID", "dam", "breed", "year"};
  EXPECT_TRUE(looks_like_header(header, 2, 3));
  const std::vector<std::string_view> record = {"K1", "GHOSTSIRE", "DAMSON", "P", "2000"};
  EXPECT_FALSE(looks_like_header(record, 2, 3));
  const std::vector<std::string> names = {"id", "Sire", "dam", "breed", "year"};
  EXPECT_EQ(column_of(names, "Sire"), 2);
  EXPECT_EQ(column_of(names, "sire"), 2);
  EXPECT_EQ(column_of(names, "born"), 0);
}

TEST(LongCodes, StandInsAreStableAndShowTheWholeCode) {
  LongCodes codes;
  const std::string a = "HERDBOOK-DE-ANIMAL-NO-146192442018", b = "HERDBOOK-DE-ANIMAL-NO-146192442019";
  LongCodes::StandIn sa{}, sb{}, again{};
  ASSERT_TRUE(codes.stand_in(a, sa));
  ASSERT_TRUE(codes.stand_in(b, sb));
  ASSERT_TRUE(codes.stand_in(a, again));
  EXPECT_EQ(sa, again);
  EXPECT_NE(sa, sb);
  EXPECT_EQ(codes.whole(std::string_view(sa.data(), sa.size())), a);
  EXPECT_EQ(codes.whole(std::string_view(sb.data(), sb.size())), b);
  EXPECT_EQ(codes.whole("short"), "short");
  codes.freeze();  // a later pass finds the codes it knows and refuses others
  EXPECT_TRUE(codes.stand_in(b, again));
  EXPECT_FALSE(codes.stand_in(a + "X", again));
  EXPECT_TRUE(LongCodes::needs_stand_in(std::string(26, 'x'), kFieldWidth));
  EXPECT_TRUE(LongCodes::needs_stand_in("a\x01", kFieldWidth));  // cannot pass for a stand-in
  EXPECT_FALSE(LongCodes::needs_stand_in(std::string(25, 'x'), kFieldWidth));
}

// The scan and both loading passes over a line-format file.
TEST(LineFormat, LoadsWholeCodesInTheirTextOrder) {
  std::string text = "id,sire,dam,breed,year\n";
  const std::string long_a = "Holstein_Friesian_Black_and_White", long_b = "Holstein_Friesian_Black_and_Red";
  for (int k = 1; k <= 10; ++k) {
    text += "HERDBOOK-DE-ANIMAL-NO-" + std::to_string(1000 + k) + ",,," + (k % 2 ? long_a : long_b) + ",2000\n";
  }
  text += "\nB1,HERDBOOK-DE-ANIMAL-NO-1001,HERDBOOK-DE-ANIMAL-NO-1002,Angus,2001\n";
  PedigreeFile file;
  file.open_memory(text);
  FieldNumbers fn{1, 2, 3, 4, 5};
  LineRequest request;
  request.header = LineRequest::Header::kYes;
  request.names = {"id", "sire", "dam", "breed", "year"};
  ASSERT_EQ(read_line_layout(file, request, fn), 5);
  RecordSource source(file, 5, fn);
  StringSink screen, log;
  const Report report{screen, log};
  hash::ModuleHash hash(&screen, nullptr);
  std::unique_ptr<CodeStore> codes;
  const ScanResult scan = scan_pedigree(source, hash, codes, report);
  EXPECT_EQ(scan.R, 11);
  ASSERT_EQ(scan.Q, 3);  // the two long names stay two populations, in text order
  EXPECT_EQ(codes->pop_name(1), "Angus");
  EXPECT_EQ(codes->pop_name(2), long_b);
  EXPECT_EQ(codes->pop_name(3), long_a);
  const Pedigree animals = load_animals(source, UnknownParents(), scan.R, hash, *codes, report, 1);
  ASSERT_EQ(animals.n, 11);
  EXPECT_EQ(codes->animal_code(1), "HERDBOOK-DE-ANIMAL-NO-1001");
  EXPECT_EQ(animals.sire[11], 1);
  EXPECT_EQ(animals.dam[11], 2);
  EXPECT_EQ(animals.sire[1], 0);  // an empty cell is an unknown parent
  EXPECT_NE(log.data.find("RECORD  1: \"HERDBOOK-DE-ANIMAL-NO-1001\""), std::string::npos) << log.data;
}

TEST(LineFormat, LinesThatStopTheReading) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::string good = "A1\t0\t0\tP\t2000\n";
  const std::vector<Case> cases = {
      {good + "\"Cow 2\t0\t0\tP\t2000\n", "line 2: a quoted value is not closed on its line"},
      {good + "A2\t0\t0\tP\t2000\textra\n", "line 2: the line has 6 fields where the first record has 5"},
      {good + "\nA2\t0\tP\t2000\n", "line 3: the line has 4 fields where the first record has 5"},
      {good + "A2\t0\t0\t\t2000\n", "line 2: the population field (field 4) is empty"},
      {good + "\t0\t0\tP\t2000\n", "line 2: the animal field (field 1) is empty"},
      {good + std::string(1025, 'x') + "\t0\t0\tP\t2000\n", "line 2: field 1 holds 1025 characters"},
  };
  for (const Case& c : cases) {
    PedigreeFile file;
    file.open_memory(c.text);
    FieldNumbers fn{1, 2, 3, 4, 5};
    read_line_layout(file, LineRequest{}, fn);
    Fields fields(5);
    ReadFault fault;
    ASSERT_EQ(read_record(file, fields, fault), ReadStatus::kOk);
    EXPECT_EQ(read_record(file, fields, fault), ReadStatus::kError) << c.text;
    EXPECT_NE(("line " + std::to_string(fault.line) + ": " + fault.what).find(c.message), std::string::npos)
        << fault.line << ": " << fault.what;
  }
}

// Files as R's write.table and spreadsheets write them: a header without a
// name for the row names, rows of nothing but separators below the table.
TEST(LineFormat, HeadersOfRAndRowsOfSeparators) {
  struct Case {
    std::string text;
    FieldNumbers expected;
    std::string refused;  // "" when the layout is read
  };
  const std::vector<Case> cases = {
      {"\"id\" \"sire\" \"dam\" \"pop\" \"year\"\n\"1\" \"A1\" NA NA \"P\" 2000\n", {2, 3, 4, 5, 6}, ""},
      {"id;sire;dam;pop;year\nA1;;;P;2000\n;;;;\n", {1, 2, 3, 4, 5}, ""},
      {"id,sire,dam\nA1,0,0,P,2000\n", {}, "names 3 columns and the first record has 5 fields"},
  };
  for (const Case& c : cases) {
    PedigreeFile file;
    file.open_memory(c.text);
    FieldNumbers fn{1, 2, 3, 4, 5};
    LineRequest request;
    request.header = LineRequest::Header::kYes;
    request.names = {"id", "sire", "dam", "pop", "year"};
    try {
      read_line_layout(file, request, fn);
      EXPECT_EQ(c.refused, "") << c.text;
    } catch (const FileError& e) {
      EXPECT_NE(e.message.find(c.refused), std::string::npos) << e.message;
      EXPECT_NE(c.refused, "") << e.message;
      continue;
    }
    EXPECT_EQ(fn.animal, c.expected.animal) << c.text;
    EXPECT_EQ(fn.period, c.expected.period) << c.text;
    Fields fields(file.line_format()->fields);
    EXPECT_EQ(read_record(file, fields), ReadStatus::kOk);
    EXPECT_EQ(rtrim(fields.get(fn.animal)), "A1");
    EXPECT_EQ(read_record(file, fields), ReadStatus::kEndOfFile) << c.text;  // the ";;;;" row is no record
  }
}

TEST(FreeFormatNotes, RecordsOverLinesAndCodesMergedByTheCut) {
  PedigreeFile file;
  const std::string a = "HERDBOOK-DE-ANIMAL-NO-146192442018", b = "HERDBOOK-DE-ANIMAL-NO-146192442019";
  file.open_memory(a + " 0 0 P Y\n" + b + " 0 0 P Y\n\"" + a + "\" 0 0 P Y\nC 0\n0 P Y\nD 0 0 P Y\n");
  Fields fields(5);
  file.start_pass("counting");
  for (int k = 0; k < 5; ++k) ASSERT_EQ(read_record(file, fields), ReadStatus::kOk);
  const ReadNotes& notes = file.read_notes();
  EXPECT_EQ(notes.continued_records, 1);
  EXPECT_EQ(notes.first_continued_line, 4);
  EXPECT_EQ(notes.merged_codes, 1);
  EXPECT_EQ(notes.merged_first, a);
  EXPECT_EQ(notes.merged_second, b);
}

}  // namespace
}  // namespace vm::input
