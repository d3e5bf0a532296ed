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
    const uint64_t h = hash_text(code);
    const Entry* found = index_.find(h, [&](Entry e) { return text(e.number) == code; });
    uint32_t number;
    if (found != nullptr) {
      number = found->number;
    } else {
      if (frozen_) return false;
      number = static_cast<uint32_t>(starts_.size());
      starts_.push_back(texts_.size());
      texts_.append(code);
      index_.add(h, Entry{number}, [&](Entry e) { return hash_text(text(e.number)); });
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
    return number < starts_.size() ? text(number) : field;
  }

  void freeze() { frozen_ = true; }
  size_t size() const { return starts_.size(); }

 private:
  struct Entry {
    uint32_t number = UINT32_MAX;
    bool empty() const { return number == UINT32_MAX; }
  };
  std::string_view text(uint32_t number) const {
    const size_t begin = starts_[number];
    const size_t end = number + 1 < starts_.size() ? starts_[number + 1] : texts_.size();
    return std::string_view(texts_).substr(begin, end - begin);
  }

  std::string texts_;
  std::vector<size_t> starts_;
  FlatTable<Entry> index_;
  bool frozen_ = false;
};

}  // namespace vm::input
