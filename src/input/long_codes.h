// Codes longer than a field of the code table, kept whole. The option
// interface compares and writes codes whole; the code table and the
// stages hold 25-character fields. A code that does not fit one (or that
// holds the mark byte itself) goes into the table as a stand-in: the mark
// byte and the code's number in ten digits, which no code read from a file
// can be. Everything that shows a code asks whole() for its text.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/flat_table.h"

namespace vm::input {

// Texts of any length, each stored once and numbered from 0 in the order
// they came, found by their text.
class TextTable {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;
  uint32_t find(std::string_view t) const {
    const Entry* e = index_.find(hash_text(t), [&](Entry x) { return text(x.number) == t; });
    return e != nullptr ? e->number : kNone;
  }
  // Stores a text that find() does not know; its number.
  uint32_t add(std::string_view t) {
    const auto number = static_cast<uint32_t>(starts_.size());
    starts_.push_back(texts_.size());
    texts_.append(t);
    index_.add(hash_text(t), Entry{number}, [&](Entry e) { return hash_text(text(e.number)); });
    return number;
  }
  std::string_view text(uint32_t number) const {
    const size_t begin = starts_[number];
    const size_t end = number + 1 < starts_.size() ? starts_[number + 1] : texts_.size();
    return std::string_view(texts_).substr(begin, end - begin);
  }
  size_t size() const { return starts_.size(); }

 private:
  struct Entry {
    uint32_t number = kNone;
    bool empty() const { return number == kNone; }
  };
  std::string texts_;
  std::vector<size_t> starts_;
  FlatTable<Entry> index_;
};

class LongCodes {
 public:
  static constexpr char kMark = '\x01';
  static constexpr size_t kStandInLength = 11;
  using StandIn = std::array<char, kStandInLength>;

  // Whether `code` must go into the table as a stand-in.
  static bool needs_stand_in(std::string_view code, size_t field_width) {
    return code.size() > field_width || (!code.empty() && std::memchr(code.data(), kMark, code.size()) != nullptr);
  }
  static bool is_stand_in(std::string_view field) { return !field.empty() && field[0] == kMark; }

  // The stand-in of `code`, storing the code when it is new. Once frozen,
  // a new code is refused (false): every pass reads the codes the first
  // pass stored, so a new one means that the file changed.
  bool stand_in(std::string_view code, StandIn& out) {
    uint32_t number = codes_.find(code);
    if (number == TextTable::kNone) {
      if (frozen_) return false;
      number = codes_.add(code);
    }
    out[0] = kMark;
    for (size_t i = kStandInLength - 1; i >= 1; --i, number /= 10) out[i] = static_cast<char>('0' + number % 10);
    return true;
  }

  // The whole code of a field: the field itself unless it is a stand-in.
  std::string_view whole(std::string_view field) const {
    if (!is_stand_in(field) || field.size() < kStandInLength) return field;
    uint32_t number = 0;
    for (size_t i = 1; i < kStandInLength; ++i) number = number * 10 + static_cast<uint32_t>(field[i] - '0');
    return number < codes_.size() ? codes_.text(number) : field;
  }

  void freeze() { frozen_ = true; }
  size_t size() const { return codes_.size(); }

 private:
  TextTable codes_;
  bool frozen_ = false;
};

}  // namespace vm::input
