// The pedigree as a table of lines, as the option interface reads it: one
// record per line, fields as the file's separator gives them (two tabs,
// commas or semicolons in a row leave an empty field), quotes that group a
// value on its line, every line with the fields of the first, an optional
// header line whose names the field choice may use, and codes kept whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "input/long_codes.h"

namespace vm::input {

enum class Separator { kDetect, kTab, kComma, kSemicolon, kBlank };

// "tab", "comma", "semicolon", "blank".
std::string_view separator_name(Separator separator);

// The separator of a file whose first line is `line`: of tab, comma and
// semicolon outside quotes the one that occurs most (ties in that order),
// blanks when there is none.
Separator detect_separator(std::string_view line);

// The longest value a field may hold.
inline constexpr size_t kMaxValueLength = 1024;

// One line split into its values. Quoted values lose their quotes (a
// doubled quote inside stands for one); the others lose the blanks around
// them. The views point into the line or into scratch storage of the
// splitter, valid until the next split.
class LineSplitter {
 public:
  explicit LineSplitter(Separator separator) : separator_(separator) {}
  // False for a line that cannot be split (a quote that is not closed on
  // its line, text after a closing quote); error() says why.
  bool split(std::string_view line);
  const std::vector<std::string_view>& values() const { return values_; }
  // Whether the line holds the stand-in mark anywhere (rarely so): only
  // then may a value of up to a field's width need a stand-in.
  bool holds_mark() const { return holds_mark_; }
  const std::string& error() const { return error_; }

 private:
  bool split_blank(std::string_view line);
  bool split_at(std::string_view line, char separator);
  // The quoted value that begins at line[i]; i ends after its closing quote.
  bool take_quoted(std::string_view line, size_t& i);

  Separator separator_;
  std::vector<std::string_view> values_;
  std::string scratch_;
  std::string error_;
  bool holds_mark_ = false;
};

// A field that must hold a value, with its name for the messages.
struct RequiredField {
  int32_t number = 0;
  const char* what = "";
};

// How a run reads its lines, filled from the first lines of the file.
struct LineFormat {
  Separator separator = Separator::kBlank;
  int32_t fields = 0;       // values per line: those of the first record
  int64_t header_line = 0;  // the line number of the header (0: none)
  std::vector<std::string> header;  // its names
  std::vector<RequiredField> required;
  std::vector<int32_t> used;  // the field numbers the run reads, ascending
  LongCodes long_codes;

  // The reading state of the one thread that reads the file.
  LineSplitter splitter{Separator::kBlank};
};

// A blank line (nothing but blanks and tabs), which the reading skips.
bool is_blank_line(std::string_view line);

// Whether a first line reads like a header: its sire or dam field is a
// word such as "sire", "dam", "father", "mother" or "parent" (any case,
// with "id", "code" and the like after it: "Sire_ID").
bool looks_like_header(const std::vector<std::string_view>& values, int32_t sire, int32_t dam);

// The field number of the column named `name` in the header (exact, else
// regardless of case); 0 when no column has that name.
int32_t column_of(const std::vector<std::string>& header, std::string_view name);

}  // namespace vm::input
