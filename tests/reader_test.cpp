#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/sink.h"
#include "common/stop.h"
#include "input/record_reader.h"

namespace {

using vm::input::Fields;
using vm::input::GETNRFIELDS;
using vm::input::PedigreeFile;
using vm::input::read_record;
using vm::input::ReadStatus;
using V = std::vector<std::string>;

constexpr ReadStatus kOk = ReadStatus::kOk;
constexpr ReadStatus kEof = ReadStatus::kEndOfFile;
constexpr ReadStatus kError = ReadStatus::kError;

// A record reader over text in memory, FIELDS starting blank.
struct Reader {
  Reader(std::string text, int32_t n) : fields(n) { file.open_memory(std::move(text)); }
  ReadStatus read() { return read_record(file, fields); }
  // The fields without their trailing blanks.
  V values() const {
    V out;
    for (int32_t k = 1; k <= fields.count(); ++k) out.emplace_back(vm::rtrim(fields.get(k)));
    return out;
  }
  PedigreeFile file;
  Fields fields;
};

int32_t count_fields(std::string text, vm::StringSink& screen) {
  PedigreeFile file;
  file.open_memory(std::move(text));
  return GETNRFIELDS(file, screen);
}

std::string too_long_line(std::string_view shown) {
  return vm::FreeLine()
      .text("Field length longer than current maximum of ")
      .num(25)
      .text("DATA record ")
      .text(shown)
      .text("Unit ")
      .num(11)
      .str();
}

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "reader_test_" + std::to_string(::getpid()) + "_" + name;
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

// Reads text with FIELDS starting blank: after each successful read the
// fields (trailing blanks removed) must equal the next expected record;
// after the last one the read must find the end of the file.
void expect_records(std::string text, int32_t n, const std::vector<V>& records) {
  Reader r(std::move(text), n);
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(r.read(), kOk) << "record " << i + 1;
    EXPECT_EQ(r.values(), records[i]) << "record " << i + 1;
  }
  EXPECT_EQ(r.read(), kEof);
}

// ---------------------------------------------------------------------------
// Field count of the first line

TEST(FieldCount, SeparatorsAndRuns) {
  vm::StringSink screen;
  EXPECT_EQ(count_fields("S1 0 0 PA Y1\nx\n", screen), 5);
  EXPECT_EQ(count_fields("  S1   0\t0,PA , Y1   \n", screen), 5);
  EXPECT_EQ(count_fields("S1,0,0,PA,Y1,\n", screen), 6);
  EXPECT_EQ(count_fields("S1 0 0 PA Y1\t\n", screen), 6);  // a tab is not a blank
  EXPECT_EQ(count_fields("   \nA B\n", screen), 1);
  EXPECT_EQ(count_fields("", screen), 1);
  EXPECT_EQ(count_fields("S1 0 0", screen), 3);
  EXPECT_EQ(screen.data, "");

  PedigreeFile file;
  file.open_memory("A B C\nD E F\n");
  ASSERT_EQ(GETNRFIELDS(file, screen), 3);
  std::string_view line;
  ASSERT_TRUE(file.next_line(line));  // rewound
  EXPECT_EQ(line, "A B C");
}

TEST(FieldCount, InnerFieldOver25StopsTheRun) {
  vm::StringSink screen;
  EXPECT_THROW(count_fields("S1 " + std::string(26, 'X') + " 0 PA Y1\n", screen), vm::Stop);
  EXPECT_EQ(screen.data,
            " Field length longer than current maximum of           25DATA record S1 XXXXXXXXXXXXXXXXXXXXXXXXXX Unit "
            "          11\n");

  // Exactly 25 is allowed; a comma ends a field as well as a blank does.
  screen.data.clear();
  EXPECT_EQ(count_fields("S1 " + std::string(25, 'X') + " 0\n", screen), 3);
  EXPECT_THROW(count_fields("S1," + std::string(26, 'X') + ",0\n", screen), vm::Stop);
  EXPECT_EQ(screen.data, too_long_line("S1," + std::string(26, 'X') + ","));
}

TEST(FieldCount, FirstAndLastFieldsDoNotStop) {
  vm::StringSink screen;
  const std::string first(30, 'F');
  EXPECT_EQ(count_fields(first + " 0 0\n", screen), 3);
  EXPECT_EQ(screen.data, "");
  expect_records(first + " 0 0\n", 3, {{std::string(25, 'F'), "0", "0"}});

  // The last field: the line up to one position past it, CR not included.
  const std::string line = "S1 0 0 PA " + std::string(26, 'Y');
  EXPECT_EQ(count_fields(line + "   \r\n", screen), 5);
  EXPECT_EQ(screen.data, too_long_line(line + " "));
}

TEST(FieldCount, ExaminesAtMost5000Characters) {
  vm::StringSink screen;
  const std::string line = "A " + std::string(6000, 'x') + " B C";
  EXPECT_EQ(count_fields(line + "\n", screen), 2);
  EXPECT_EQ(screen.data, too_long_line(line.substr(0, 5000)));

  screen.data.clear();
  EXPECT_EQ(count_fields(std::string(4998, 'a').append(" b c d\n"), screen), 2);
  EXPECT_EQ(screen.data, "");
}

// ---------------------------------------------------------------------------
// The record read, rule by rule

TEST(RecordRead, SeparatorsAndNullValues) {
  expect_records("A B\t\tC , D,E\n  F ,\tG,H\tI J \n", 5, {{"A", "B", "C", "D", "E"}, {"F", "G", "H", "I", "J"}});
  // A comma after a comma, or first in the record, keeps the old field;
  // line ends between two commas change nothing.
  expect_records("S1,0,0,PA,Y1\nD2,,,PB,Y2\n,X , ,Y,Z\nA,\n,B,C,D\n", 5,
                 {{"S1", "0", "0", "PA", "Y1"},
                  {"D2", "0", "0", "PB", "Y2"},
                  {"D2", "X", "0", "Y", "Z"},
                  {"A", "X", "B", "C", "D"}});
}

TEST(RecordRead, StoresFirst25CharactersBlankPadded) {
  Reader r("AB " + std::string(24, 'c') + "d" + "eeee\n", 2);
  ASSERT_EQ(r.read(), kOk);
  EXPECT_EQ(r.fields.get(1), "AB" + std::string(23, ' '));
  EXPECT_EQ(r.fields.get(2), std::string(24, 'c') + "d");
}

TEST(RecordRead, QuotedValues) {
  expect_records("'A 1' \"D,2\" 'x/y'\n'O''Neil' \"say \"\"hi\"\"\" ''\nO'Neil \"it's\" a\"b\n", 3,
                 {{"A 1", "D,2", "x/y"}, {"O'Neil", "say \"hi\"", ""}, {"O'Neil", "it's", "a\"b"}});
  // Over line ends, which add nothing; a quote at a line end closes.
  expect_records("'AB\r\nC''\nD' E\n'AB'\n'CD' x\n", 2, {{"ABC'D", "E"}, {"AB", "CD"}});
}

TEST(RecordRead, RepeatCounts) {
  expect_records("3*A B\n2* C D\n1*'x y' 2*\"q\" R\n9*Z\n2*,K,L\nA*B *AB 12AB 2*3*4\n", 4,
                 {{"A", "A", "A", "B"},
                  {"A", "A", "C", "D"},  // r* alone: r null values
                  {"x y", "q", "q", "R"},
                  {"Z", "Z", "Z", "Z"},  // a count beyond the list fills the list
                  {"Z", "Z", "K", "L"},
                  {"A*B", "*AB", "12AB", "3*4"}});
  expect_records("2147483647*A\n000000000000003*B\n", 2, {{"A", "A"}, {"B", "B"}});
}

TEST(RecordRead, SlashEndsTheRead) {
  expect_records("S1 0 0 PA Y1\nD2 PB/ rest not read\nD3 'a/b' / x y z\nD4/\n2*/\nE\n", 5,
                 {{"S1", "0", "0", "PA", "Y1"},
                  {"D2", "PB", "0", "PA", "Y1"},
                  {"D3", "a/b", "0", "PA", "Y1"},
                  {"D4", "a/b", "0", "PA", "Y1"},
                  {"D4", "a/b", "0", "PA", "Y1"}});
}

TEST(RecordRead, ContinuationSkipsRestOfCompletingLine) {
  expect_records("A1 S1\nD1 PA Y2\nB1 S2 D3 PB Y3\n", 5, {{"A1", "S1", "D1", "PA", "Y2"}, {"B1", "S2", "D3", "PB", "Y3"}});
  expect_records("D1 0 0 PA Y1 D2 0 0 PA\nY1\n\n   \nS2 0 0 PB Y1\nD3 0 0 PB Y1\n", 5,
                 {{"D1", "0", "0", "PA", "Y1"}, {"Y1", "S2", "0", "0", "PB"}, {"D3", "0", "0", "PB", "Y1"}});
}

TEST(RecordRead, EndOfFileAndLineEnds) {
  expect_records("A B C\n\n  \n\n", 3, {{"A", "B", "C"}});  // trailing blank lines are no record
  expect_records("", 1, {});
  Reader r("A B C\nD E", 3);
  ASSERT_EQ(r.read(), kOk);
  EXPECT_EQ(r.read(), kEof);
  EXPECT_EQ(r.values(), (V{"D", "E", "C"}));
  // CRLF, LF and a last line without newline, mixed; a CR elsewhere is text.
  expect_records("A B\r\nC D\nE F\r\nG\rH I\r", 2, {{"A", "B"}, {"C", "D"}, {"E", "F"}, {"G\rH", "I"}});
  expect_records(std::string("A\0B \xff\x01 C\n", 9), 2, {{std::string("A\0B", 3), "\xff\x01"}});
}

TEST(RecordRead, MalformedInputIsAnError) {
  for (const char* text : {"0*A B\n", "2147483648*A B\n", "99999999999*A B\n", "99999999999999999999999* B\n",
                           "'open quote\n\nand more\n", "A \"unclosed", "'AB'C D\n"}) {
    Reader r(text, 2);
    EXPECT_EQ(r.read(), kError) << text;
  }
}

// ---------------------------------------------------------------------------
// The file

TEST(PedigreeFile, RefusesWhatIsNoRegularFile) {
  PedigreeFile file;
  EXPECT_FALSE(file.open(temp_path("missing")));
  EXPECT_NE(file.error().find("does not exist"), std::string::npos);

  EXPECT_FALSE(file.open(::testing::TempDir()));
  EXPECT_NE(file.error().find("folder"), std::string::npos);

  const std::string fifo = temp_path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(file.open(fifo));  // must not hang waiting for a writer
  EXPECT_NE(file.error().find("regular"), std::string::npos);
  std::remove(fifo.c_str());
}

// Reads every record of a file and of the same bytes in memory: lines
// that straddle the buffer, and a line longer than it, come out the same.
TEST(PedigreeFile, FileReadsLikeMemoryAcrossBufferEdges) {
  std::mt19937 rng(7);
  std::string text;
  for (int i = 0; text.size() < (3u << 20); ++i) {
    text += "A" + std::to_string(i) + " S" + std::to_string(rng() % 1000) + (i % 3 ? "\n" : "\r\n");
    if (i == 40000) text += "L " + std::string(size_t{5} << 20, 'x') + "\n";
  }
  text += "last 1";
  const std::string path = temp_path("big");
  write_file(path, text);

  PedigreeFile disk;
  ASSERT_TRUE(disk.open(path)) << disk.error();
  Reader mem(text, 2);
  Fields fields(2);
  for (int pass = 0; pass < 2; ++pass) {
    int records = 0;
    for (;;) {
      ReadStatus a = read_record(disk, fields);
      ReadStatus b = mem.read();
      ASSERT_EQ(a, b) << records;
      if (a != kOk) break;
      ASSERT_EQ(fields.get(1), mem.fields.get(1)) << records;
      ASSERT_EQ(fields.get(2), mem.fields.get(2)) << records;
      ++records;
    }
    EXPECT_EQ(fields.get(1), vm::pad("last", 25));
    EXPECT_EQ(disk.line_number(), records);
    disk.rewind();
    mem.file.rewind();
  }
  std::remove(path.c_str());
}

// ---------------------------------------------------------------------------
// Random records against a plain reference reader

// The free-format read, written for clarity rather than speed: whole lines
// of std::string, a character cursor, full-length values cut only when
// stored.
class ReferenceReader {
 public:
  explicit ReferenceReader(const std::string& text) {
    for (size_t start = 0; start < text.size();) {
      size_t nl = text.find('\n', start);
      std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(line);
      if (nl == std::string::npos) break;
      start = nl + 1;
    }
  }

  ReadStatus read(std::vector<std::string>& fields) {
    if (line_ >= lines_.size()) return kEof;
    col_ = 0;
    size_t k = 0;
    bool comma_is_null = true;
    while (k < fields.size()) {
      while (peek() == ' ' || peek() == '\t' || peek() == '\n') get();
      if (peek() == kEnd) return kEof;
      if (peek() == ',') {
        get();
        if (comma_is_null) ++k;
        comma_is_null = true;
        continue;
      }
      if (peek() == '/') break;
      comma_is_null = false;

      long long repeat = 1;
      const std::string& line = lines_[line_];
      size_t digits_end = col_;
      while (digits_end < line.size() && line[digits_end] >= '0' && line[digits_end] <= '9') ++digits_end;
      if (digits_end > col_ && digits_end < line.size() && line[digits_end] == '*') {  // a repeat count "r*"
        std::string digits = line.substr(col_, digits_end - col_);
        digits.erase(0, digits.find_first_not_of('0'));
        if (digits.empty() || digits.size() > 10 || std::stoll(digits) > 2147483647LL) return kError;
        repeat = std::stoll(digits);
        col_ = digits_end + 1;
        if (ends_value(peek())) {
          k = std::min<size_t>(fields.size(), k + static_cast<size_t>(repeat));
          continue;
        }
      }
      std::string value;
      if (peek() == '\'' || peek() == '"') {
        const int quote = peek();
        get();
        for (;;) {
          int c = peek();
          if (c == kEnd) return kError;
          get();
          if (c == '\n') continue;
          if (c == quote) {
            if (peek() != quote) break;
            get();
          }
          value += static_cast<char>(c);
        }
        if (!ends_value(peek())) return kError;
      } else {
        while (!ends_value(peek())) {
          value += static_cast<char>(peek());
          get();
        }
      }
      for (long long i = 0; i < repeat && k < fields.size(); ++i) fields[k++] = vm::pad(value, 25);
    }
    ++line_;  // the rest of the line is not read
    return kOk;
  }

 private:
  static constexpr int kEnd = -1;
  static bool ends_value(int c) { return c == ' ' || c == '\t' || c == ',' || c == '/' || c == '\n' || c == kEnd; }
  int peek() const {
    if (line_ >= lines_.size()) return kEnd;
    return col_ == lines_[line_].size() ? '\n' : static_cast<unsigned char>(lines_[line_][col_]);
  }
  void get() {
    if (col_ == lines_[line_].size()) {
      ++line_;
      col_ = 0;
    } else {
      ++col_;
    }
  }

  std::vector<std::string> lines_;
  size_t line_ = 0;
  size_t col_ = 0;
};

std::string pick(std::mt19937& rng, const std::vector<std::string>& options) {
  return options[rng() % options.size()];
}

std::string random_chars(std::mt19937& rng, const std::string& alphabet, size_t max_len) {
  std::string s;
  for (size_t n = 1 + rng() % max_len; n > 0; --n) s += alphabet[rng() % alphabet.size()];
  return s;
}

std::string random_value(std::mt19937& rng) {
  static const std::string inner = std::string("ABxy09*'\"\r\xff", 11) + std::string(1, '\0');
  switch (rng() % 10) {
    case 0:
    case 1: {
      std::string q = rng() % 2 ? "'" : "\"";
      std::string body = random_chars(rng, "AB , /\t'\"", 8);
      std::string out = q;
      for (char c : body) out += std::string(c == q[0] ? 2 : 1, c);
      if (rng() % 4 == 0) out.insert(1 + rng() % (out.size()), rng() % 2 ? "\n" : "\r\n");
      return rng() % 60 == 0 ? out : out + q;
    }
    case 2:
      return pick(rng, {"1", "2", "3", "7", "02", "0", "2147483648"}) + "*" +
             (rng() % 3 == 0 ? "" : random_value(rng));
    case 3:
      return rng() % 4 == 0 ? "/" : std::string(30, 'L');
    default:
      return random_chars(rng, "ABxy09*", 1) + (rng() % 2 ? random_chars(rng, inner, 5) : "");
  }
}

std::string random_separator(std::mt19937& rng) {
  return pick(rng, {" ", " ", "  \t", ",", " , ", ",,", ", ,", "\n", "\r\n", "\n\n \n", "\t", ""});
}

std::string random_text(std::mt19937& rng) {
  std::string text;
  for (int n = static_cast<int>(rng() % 40); n > 0; --n) text += random_value(rng) + random_separator(rng);
  return text;
}

// Reads text to its end with both readers and stops at the first
// difference; returns a description of it, or "" when they agree.
std::string compare_with_reference(const std::string& text, int32_t n) {
  Reader r(text, n);
  ReferenceReader ref(text);
  std::vector<std::string> expected(static_cast<size_t>(n), std::string(25, ' '));
  for (int read = 1;; ++read) {
    ReadStatus want = ref.read(expected);
    ReadStatus got = r.read();
    if (got != want) return "status differs at read " + std::to_string(read);
    if (got != kOk) return "";
    for (int32_t k = 1; k <= n; ++k) {
      if (r.fields.get(k) != expected[static_cast<size_t>(k - 1)])
        return "field " + std::to_string(k) + " differs at read " + std::to_string(read);
    }
  }
}

TEST(RecordRead, RandomRecordsMatchReference) {
  std::mt19937 rng(2024);
  for (int i = 0; i < 3000; ++i) {
    const std::string text = random_text(rng);
    const int32_t n = 1 + static_cast<int32_t>(rng() % 6);
    ASSERT_EQ(compare_with_reference(text, n), "") << "n=" << n << " text=[" << text << "]";
  }
}

// Lines as herdbooks write them, one record each between blanks or tabs,
// now and then with one thing the full rules must read: a quote, a
// repeat count, a '*' or quote inside a value, a comma, a slash, a record
// short of values that goes on to the next line, a long value.
std::string random_plain_lines(std::mt19937& rng, int32_t n) {
  static const std::vector<std::string> codes = {
      "514854470328", "0", "-", "NA", "POP01", "1990", "DE-1234", "a.b", std::string(30, 'L'), "x\r"};
  static const std::vector<std::string> odd = {"'q r'", "\"Q\"", "3*", "2*X", "A*B", "ab'c", "x\"", ",", "/", ""};
  std::string text;
  for (int lines = 1 + static_cast<int>(rng() % 8); lines > 0; --lines) {
    if (rng() % 3 == 0) text += pick(rng, {" ", "\t", "  "});
    const int32_t values = n + static_cast<int32_t>(rng() % 3) - (rng() % 6 == 0 ? 1 : 0);
    for (int32_t k = 0; k < values; ++k) {
      std::string value = pick(rng, codes);
      if (rng() % 12 == 0) value = pick(rng, odd);
      text += value + pick(rng, {" ", " ", "\t", "   "});
    }
    text += rng() % 5 == 0 ? "\r\n" : "\n";
  }
  return text;
}

TEST(RecordRead, PlainLinesMatchReference) {
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    const int32_t n = 1 + static_cast<int32_t>(rng() % 6);
    const std::string text = random_plain_lines(rng, n);
    ASSERT_EQ(compare_with_reference(text, n), "") << "n=" << n << " text=[" << text << "]";
  }
}

TEST(RecordRead, RandomBytesMatchReference) {
  std::mt19937 rng(99);
  const std::string heavy = " ,/'\"*\n\r\t0123";
  for (int i = 0; i < 1000; ++i) {
    std::string text;
    for (size_t len = rng() % 200; len > 0; --len)
      text += rng() % 2 ? heavy[rng() % heavy.size()] : static_cast<char>(rng() % 256);
    const int32_t n = 1 + static_cast<int32_t>(rng() % 4);
    ASSERT_EQ(compare_with_reference(text, n), "") << "n=" << n << " case " << i;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Lines longer than the buffer: squeezed and read in pieces

using vm::input::ReadFault;

// A value with a long stretch of the kinds the squeeze shortens, or one
// that makes the line long through many short values.
std::string long_value(std::mt19937& rng) {
  const size_t len = 300 + rng() % 6000;
  switch (rng() % 8) {
    case 0:  // one byte repeated, also quotes and digits
      return std::string(len, std::string("x0 7*'\"\r\0", 9)[rng() % 9]);
    case 1:  // a count of many digits, zero or not at its two ends or between
      return std::string(len, '0') + (rng() % 2 ? "1" : "") + std::string(len, rng() % 2 ? '0' : '9') + "*" +
             (rng() % 2 ? "V" : "");
    case 2:  // digits, then a repeat and a long value
      return random_chars(rng, "0", len) + "3*" + random_chars(rng, std::string("ABab09*\r\0", 9), len);
    case 3:  // a quoted value running over long stretches and line ends
      return "'" + random_chars(rng, "AB x''", len) + "\n" + random_chars(rng, "Ab", len) + "' ";
    case 4: {  // many short values
      std::string s;
      while (s.size() < len) s += random_value(rng) + pick(rng, {" ", ",", "/ ", "\t"});
      return s;
    }
    case 5:
      return random_chars(rng, std::string("ABab09*\r\0,", 10), len);
    case 6: {  // doubled quotes among letters, within the limit (it cannot be cut)
      std::string s = "'";
      for (size_t k = len % 500; k > 0; --k) s += random_chars(rng, "ab", 2) + "''";
      return s + "'";
    }
    default:
      return random_value(rng);
  }
}

// Reads at most `most` bytes at a time, so that lines arrive in parts.
void read_in_small_parts(PedigreeFile& file, size_t most) {
  file.set_hooks_for_test({[most](int fd, char* buffer, size_t size) {
                             return static_cast<long>(::read(fd, buffer, std::min(size, most)));
                           },
                           {}});
  file.rewind();
}

// Reads `text` from a file through small limits and reads of a few bytes,
// and from memory whole: the statuses, fields and faults must agree.
std::string compare_pieces_with_whole(const std::string& text, int32_t n, std::mt19937& rng) {
  const std::string path = temp_path("pieces");
  write_file(path, text);
  PedigreeFile disk;
  if (!disk.open(path)) return "cannot open";
  disk.set_limits_for_test({rng() % 40, 2500 + rng() % 2000});
  read_in_small_parts(disk, 1 + rng() % 97);
  Reader mem(text, n);
  Fields fields(n);
  std::string difference;
  for (int read = 1; difference.empty(); ++read) {
    ReadFault got_fault, want_fault;
    const ReadStatus got = read_record(disk, fields, got_fault);
    const ReadStatus want = read_record(mem.file, mem.fields, want_fault);
    const std::string at = " at read " + std::to_string(read);
    if (got != want) difference = "status differs" + at + ": " + got_fault.what;
    else if (got_fault.what != want_fault.what || got_fault.line != want_fault.line) difference = "fault differs" + at;
    else if (got != kOk) break;
    for (int32_t k = 1; k <= n && difference.empty(); ++k) {
      if (fields.get(k) != mem.fields.get(k)) difference = "field " + std::to_string(k) + " differs" + at;
    }
  }
  std::remove(path.c_str());
  return difference;
}

TEST(LongLines, PiecesAndSqueezeReadTheSameRecords) {
  std::mt19937 rng(77);
  for (int i = 0; i < 400; ++i) {
    std::string text;
    for (int v = static_cast<int>(rng() % 12); v > 0; --v) text += (rng() % 3 ? long_value(rng) : random_value(rng)) + random_separator(rng);
    const int32_t n = 1 + static_cast<int32_t>(rng() % 6);
    ASSERT_EQ(compare_pieces_with_whole(text, n, rng), "") << "case " << i << " n=" << n;
  }
}

TEST(LongLines, SkippedRestAndUnsplittableLine) {
  // A quoted value of doubled quotes and letters, longer than the limit:
  // it can be neither shortened nor cut.
  std::string unsplittable = "'";
  for (int i = 0; i < 2000; ++i) unsplittable += "a''";
  unsplittable += "'";
  const std::string path = temp_path("skip");
  write_file(path, "A B\nQ " + unsplittable + "\nC D\n");
  PedigreeFile file;
  ASSERT_TRUE(file.open(path));
  file.set_limits_for_test({0, 256});
  read_in_small_parts(file, 50);

  // The rest of a completed record's line is passed over unread.
  Fields fields(1);
  ReadFault fault;
  for (const char* want : {"A", "Q", "C"}) {
    ASSERT_EQ(read_record(file, fields, fault), kOk) << fault.what;
    EXPECT_EQ(vm::rtrim(fields.get(1)), want);
  }
  EXPECT_EQ(read_record(file, fields, fault), kEof);
  EXPECT_EQ(file.line_number(), 3);

  // A record that needs the value: a read error that names the line.
  file.rewind();
  Fields two(2);
  ASSERT_EQ(read_record(file, two, fault), kOk);
  EXPECT_EQ(read_record(file, two, fault), kError);
  EXPECT_EQ(fault.line, 2);
  EXPECT_NE(fault.what.find("without a blank, tab, comma or slash"), std::string::npos) << fault.what;
  std::remove(path.c_str());
}

// ---------------------------------------------------------------------------
// A file that fails or changes under the reader

TEST(FileFaults, ReadErrorNamesTheLineAndTheSystemsReason) {
  const std::string path = temp_path("eio");
  write_file(path, "A 1\nB 2\nC 3\n");
  PedigreeFile file;
  ASSERT_TRUE(file.open(path));
  size_t given = 0;
  file.set_hooks_for_test({[&given](int fd, char* buffer, size_t size) -> long {
                             if (given >= 6) {
                               errno = EIO;
                               return -1;
                             }
                             const long n = ::read(fd, buffer, std::min<size_t>(size, 6 - given));
                             given += static_cast<size_t>(std::max(n, 0L));
                             return n;
                           },
                           {}});
  file.rewind();
  Fields fields(2);
  ReadFault fault;
  ASSERT_EQ(read_record(file, fields, fault), kOk);
  EXPECT_EQ(read_record(file, fields, fault), kError);  // line 2 was cut short by the failure
  EXPECT_EQ(fault.line, 2);
  EXPECT_EQ(fault.what, std::string("the file cannot be read: ") + std::strerror(EIO));
  std::remove(path.c_str());
}

TEST(FileFaults, RewindRefusesAFileThatChanged) {
  const std::string path = temp_path("changes");
  const std::string other = temp_path("changes_other");
  struct Change {
    const char* what;
    std::function<void()> make;
    const char* message;
  };
  const std::vector<Change> changes = {
      {"appended", [&] { std::ofstream(path, std::ios::app) << "C 3\n"; }, "it had 8 bytes and has 12"},
      {"truncated", [&] { ASSERT_EQ(::truncate(path.c_str(), 4), 0); }, "it had 8 bytes and has 4"},
      {"rewritten in place",
       [&] {
         std::fstream(path, std::ios::in | std::ios::out) << "X";
         const timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
         ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
       },
       "it was written to"},
      {"replaced", [&] {
         write_file(other, "A 1\nB 2\n");
         ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
       },
       "its name now leads to another file"},
  };
  for (const Change& change : changes) {
    write_file(path, "A 1\nB 2\n");
    PedigreeFile file;
    ASSERT_TRUE(file.open(path));
    file.start_pass("counting");
    change.make();
    try {
      file.start_pass("animal");
      ADD_FAILURE() << change.what << ": not refused";
    } catch (const vm::FileError& e) {
      EXPECT_EQ(e.message, "pedigree file \"" + path + "\" changed during the run: " + change.message +
                               (std::string(change.what) == "replaced" ? ", or to none" : "") +
                               " (seen as the animal pass began)");
    }
  }
  std::remove(path.c_str());
}
