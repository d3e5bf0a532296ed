#include "input/line_format.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace vm::input {
namespace {

bool is_quote(char c) { return c == '"' || c == '\''; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Blanks around an unquoted value belong to no value; in a tab-separated
// file only blanks, elsewhere tabs too.
std::string_view trimmed(std::string_view text, bool tabs_too) {
  auto space = [&](char c) { return c == ' ' || (tabs_too && c == '\t'); };
  size_t begin = 0, end = text.size();
  while (begin < end && space(text[begin])) ++begin;
  while (end > begin && space(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

std::string_view separator_name(Separator separator) {
  switch (separator) {
    case Separator::kTab: return "tab";
    case Separator::kComma: return "comma";
    case Separator::kSemicolon: return "semicolon";
    case Separator::kBlank: return "blank";
    case Separator::kDetect: break;
  }
  return "detect";
}

Separator detect_separator(std::string_view line) {
  std::array<int64_t, 3> counts{};  // tab, comma, semicolon
  char quote = 0;
  bool at_value_start = true;
  for (char c : line) {
    if (quote != 0) {
      if (c == quote) quote = 0;  // a doubled quote reopens at once: no separator between
      continue;
    }
    if (is_quote(c) && at_value_start) {
      quote = c;
      continue;
    }
    const bool separator = c == '\t' || c == ',' || c == ';';
    if (c == '\t') ++counts[0];
    if (c == ',') ++counts[1];
    if (c == ';') ++counts[2];
    at_value_start = separator || (at_value_start && c == ' ');
  }
  const auto most = std::max_element(counts.begin(), counts.end());
  if (*most == 0) return Separator::kBlank;
  constexpr std::array<Separator, 3> kOrder = {Separator::kTab, Separator::kComma, Separator::kSemicolon};
  return kOrder[static_cast<size_t>(most - counts.begin())];
}

bool LineSplitter::split(std::string_view line) {
  values_.clear();
  scratch_.clear();
  // A dequoted value is never longer than its text: the views into the
  // scratch stay valid while it fills.
  scratch_.reserve(line.size());
  holds_mark_ = !line.empty() && std::memchr(line.data(), LongCodes::kMark, line.size()) != nullptr;
  switch (separator_) {
    case Separator::kTab: return split_at(line, '\t');
    case Separator::kComma: return split_at(line, ',');
    case Separator::kSemicolon: return split_at(line, ';');
    case Separator::kBlank:
    case Separator::kDetect: break;
  }
  return split_blank(line);
}

bool LineSplitter::take_quoted(std::string_view line, size_t& i) {
  const char quote = line[i];
  const size_t start = scratch_.size();
  for (size_t j = i + 1;; ++j) {
    const size_t close = line.find(quote, j);
    if (close == std::string_view::npos) {
      error_ = "a quoted value is not closed on its line (a quote too many, or a value over two lines?)";
      return false;
    }
    scratch_.append(line.substr(j, close - j));
    if (close + 1 < line.size() && line[close + 1] == quote) {
      scratch_.push_back(quote);
      j = close + 1;
      continue;
    }
    i = close + 1;
    values_.push_back(std::string_view(scratch_).substr(start));
    return true;
  }
}

namespace {

// The first blank (space or tab) of line at or after i, or its end. Eight
// characters at a time: a byte of w equal to c leaves a zero byte in
// w ^ c, and (x - 1s) & ~x & 80s marks the lowest zero byte of x exactly
// (a borrow only reaches the bytes above it).
size_t next_blank(std::string_view line, size_t i) {
  const char* p = line.data();
  const size_t n = line.size();
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    for (; i + 8 <= n; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      const uint64_t spaces = w ^ (ones * ' '), tabs = w ^ (ones * '\t');
      const uint64_t hits = ((spaces - ones) & ~spaces) | ((tabs - ones) & ~tabs);
      if ((hits & highs) != 0) return i + static_cast<size_t>(std::countr_zero(hits & highs)) / 8;
    }
  }
  while (i < n && !is_blank(p[i])) ++i;
  return i;
}

}  // namespace

// Runs of blanks and tabs are one separator.
bool LineSplitter::split_blank(std::string_view line) {
  size_t i = 0;
  for (;;) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i == line.size()) return true;
    if (is_quote(line[i])) {
      if (!take_quoted(line, i)) return false;
      if (i < line.size() && !is_blank(line[i])) {
        error_ = "a closing quote is followed by more text than a blank";
        return false;
      }
      continue;
    }
    const size_t begin = i;
    i = next_blank(line, i);
    values_.push_back(line.substr(begin, i - begin));
  }
}

// Each separator ends one value.
bool LineSplitter::split_at(std::string_view line, char separator) {
  const bool tabs_too = separator != '\t';
  size_t i = 0;
  for (;;) {
    size_t begin = i;
    while (begin < line.size() && (line[begin] == ' ' || (tabs_too && line[begin] == '\t'))) ++begin;
    if (begin < line.size() && is_quote(line[begin])) {
      i = begin;
      if (!take_quoted(line, i)) return false;
      while (i < line.size() && line[i] != separator && (line[i] == ' ' || (tabs_too && line[i] == '\t'))) ++i;
      if (i < line.size() && line[i] != separator) {
        error_ = "a closing quote is followed by more text before the next " +
                 std::string(separator_name(separator_));
        return false;
      }
    } else {
      const size_t end = std::min(line.find(separator, i), line.size());
      values_.push_back(trimmed(line.substr(i, end - i), tabs_too));
      i = end;
    }
    if (i >= line.size()) return true;
    ++i;  // past the separator; a separator at the end leaves an empty last value
  }
}

bool is_blank_line(std::string_view line, Separator separator) {
  const char own = separator == Separator::kComma ? ',' : separator == Separator::kSemicolon ? ';' : '\t';
  return std::all_of(line.begin(), line.end(), [&](char c) { return is_blank(c) || c == own; });
}

bool looks_like_header(const std::vector<std::string_view>& values, int32_t sire, int32_t dam) {
  static constexpr std::array<std::string_view, 8> kWords = {"sire", "dam", "father", "mother",
                                                             "parent", "vater", "mutter", "pere"};
  for (int32_t field : {sire, dam}) {
    if (field < 1 || static_cast<size_t>(field) > values.size()) continue;
    // The letters of the value, so that "Sire_ID", "dam.code" or "parent1" read as the word.
    std::string word;
    for (char c : lower(values[static_cast<size_t>(field) - 1]))
      if (c >= 'a' && c <= 'z') word += c;
    for (std::string_view suffix : {"id", "code", "no", "number", "name"}) {
      if (word.size() > suffix.size() && word.ends_with(suffix)) word.resize(word.size() - suffix.size());
    }
    if (std::find(kWords.begin(), kWords.end(), word) != kWords.end()) return true;
  }
  return false;
}

int32_t column_of(const std::vector<std::string>& header, std::string_view name) {
  for (size_t k = 0; k < header.size(); ++k) {
    if (header[k] == name) return static_cast<int32_t>(k + 1);
  }
  const std::string wanted = lower(name);
  for (size_t k = 0; k < header.size(); ++k) {
    if (lower(header[k]) == wanted) return static_cast<int32_t>(k + 1);
  }
  return 0;
}

}  // namespace vm::input
