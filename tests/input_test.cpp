// The scan and the loading passes, on pedigrees held in memory.
#include <gtest/gtest.h>

#include <string>

#include "common/stop.h"
#include "hash/module_hash.h"
#include "input/record_reader.h"
#include "input/scan.h"

namespace vm::input {
namespace {

struct Loaded {
  StringSink screen, log;
  ScanResult scan;
  std::unique_ptr<Codes> codes;
  Animals animals;
};

// Runs the scan and both loading passes over `text` (fields in the order
// animal, sire, dam, population, period).
void load(const std::string& text, Loaded& out) {
  PedigreeFile file;
  file.open_memory(text);
  Fields fields(5);
  FieldNumbers fn{1, 2, 3, 4, 5};
  hash::ModuleHash hash(&out.screen, nullptr);
  out.scan = scan_pedigree(file, fields, fn, hash, out.codes, out.screen, out.log);
  out.animals = load_animals(file, fields, fn, out.scan.R, hash, *out.codes, out.screen, out.log);
}

// Pads a pedigree to ten records with founders of population Z, period Z.
std::string ten(std::string text, int have) {
  for (int k = have; k < 10; ++k) text += "ZF" + std::to_string(k) + " 0 0 Z Z\n";
  return text;
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
  const Animals& a = l.animals;
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
  const Animals& a = l.animals;
  EXPECT_EQ(a.sire[4], 1);
  EXPECT_EQ(a.dam[4], 3);
  EXPECT_EQ(a.dam[5], 2);  // "B 0 0" does not erase the dam D1
}

TEST(Load, EmptyParentValueIsUnknownNotThePreviousParent) {
  Loaded l;
  load(ten("S 0 0 P T\nD 0 0 P T\nA,S,D,P,T\nB,,,P,T\nC,S,,P,T\n", 5), l);
  const Animals& a = l.animals;
  EXPECT_EQ(a.sire[4], 0);
  EXPECT_EQ(a.dam[4], 0);
  EXPECT_EQ(a.sire[5], 1);
  EXPECT_EQ(a.dam[5], 0);
}

TEST(Load, MissingParentsAreAddedOnce) {
  Loaded l;
  load(ten("A M M P T\nB M N P T\nC N 0 P T\n", 3), l);
  const Animals& a = l.animals;
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
