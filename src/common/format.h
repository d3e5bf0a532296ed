// Line writers: every line the program writes is built here.
//
// Free-format line: starts with one blank, texts as they stand with no
// separator, every integer right-aligned in 12 columns, "\n" at the end;
// a free-format line without items is an empty line.
// Edit descriptors: A, In, In.m, Fw.d; a value that does not fit its field
// fills it with asterisks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vm {

// Characters of a code that the classic stages keep: a field of the
// record read, a key of the code table, a label of the result table.
inline constexpr int kCodeWidth = 25;

// The byte order mark some editors put at the start of a UTF-8 file.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Records read between two progress lines on the screen.
inline constexpr int64_t kProgressRecords = 100000;

class FreeLine {
 public:
  FreeLine& text(std::string_view s);
  FreeLine& num(int64_t v);
  // The finished line with its "\n".
  std::string str() const;

 private:
  std::string body_;
  bool any_ = false;
};

// Aw: a text in w columns; a shorter text is right-aligned, a longer one
// keeps its leftmost w characters.
std::string fmt_A(std::string_view s, int w);
// In and In.m: an integer right-aligned in w columns, with at least m digits.
std::string fmt_I(int64_t v, int w, int m = 1);
// Fw.d: fixed point, w columns, d decimals; "0." gets its leading zero when
// there is room for it.
std::string fmt_F(double v, int w, int d);
// fmt_F added to the end of `out`, for lines of many values.
void append_F(std::string& out, double v, int w, int d);

// Text without its trailing blanks.
std::string_view rtrim(std::string_view s);
// Nothing but blanks (or nothing at all).
inline bool is_blank(std::string_view s) { return rtrim(s).empty(); }
// Text padded with blanks or cut to exactly w characters.
std::string pad(std::string_view s, size_t w);

}  // namespace vm
