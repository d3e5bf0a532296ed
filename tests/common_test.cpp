// Line writers and the exit report.
#include <gtest/gtest.h>

#include "common/format.h"
#include "common/stop.h"
#include "driver/exit_info.h"

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
}

TEST(EditDescriptors, Texts) {
  EXPECT_EQ(fmt_A("abc", 5), "  abc");
  EXPECT_EQ(fmt_A("abcdef", 3), "abc");
  EXPECT_EQ(pad("T1", 5), "T1   ");
  EXPECT_EQ(pad("abcdef", 3), "abc");
  EXPECT_EQ(rtrim("ab  "), "ab");
  EXPECT_EQ(rtrim("   "), "");
}

std::string report_of(std::string_view message, int code, std::initializer_list<float> values) {
  try {
    EXIT_INFO(message, code, values);
  } catch (const FatalExit& fatal) {
    EXPECT_EQ(fatal.code, code);
    return fatal.report;
  }
  ADD_FAILURE() << "EXIT_INFO returned";
  return {};
}

TEST(ExitReport, ProbesExhaustedExample) {
  set_program_name("velmora");
  EXPECT_EQ(report_of("CHASH: Array too small, dimensies aanpassen bij string: ABC", 6001, {6000.0f, 1500.0f}),
            "CHASH: Array too small, dimensies aanpassen bij string: ABC  6000  1500\n"
            "Hoofdprogramma: velmora\n"
            " Hoofdprogramma wordt nu afgesloten met exitcode: 6001\n");
}

TEST(ExitReport, ValueLayouts) {
  set_program_name("velmora");
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
  set_program_name("");
  EXPECT_EQ(report_of("", 123456, {}), " Hoofdprogramma wordt nu afgesloten met exitcode:*****\n");
  set_program_name("prog  ");
  EXPECT_EQ(report_of("X", 25, {}), "X\nHoofdprogramma: prog\n Hoofdprogramma wordt nu afgesloten met exitcode:   25\n");
}

}  // namespace
}  // namespace vm
