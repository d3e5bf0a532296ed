#include "pedigree/heapsort.h"

#include <cstring>
#include <string>

namespace vm::pedigree {
namespace {

class CharTable {
 public:
  CharTable(int32_t n, char* ra, int32_t k, int32_t ncol, int32_t len)
      : n_(n), ra_(ra), k_(k), ncol_(ncol), len_(len), held_(static_cast<size_t>(ncol) * static_cast<size_t>(len), ' ') {}

  bool less(int64_t i, int64_t j) const { return compare(key(i), key(j)) < 0; }
  bool less_held(int64_t j) const { return compare(held_.data() + static_cast<size_t>(k_ - 1) * len_, key(j)) < 0; }
  void hold(int64_t i) {
    for (int32_t c = 1; c <= ncol_; ++c) std::memcpy(held_.data() + static_cast<size_t>(c - 1) * len_, at(i, c), static_cast<size_t>(len_));
  }
  void copy(int64_t from, int64_t to) {
    for (int32_t c = 1; c <= ncol_; ++c) std::memcpy(at(to, c), at(from, c), static_cast<size_t>(len_));
  }
  void put_held(int64_t i) {
    for (int32_t c = 1; c <= ncol_; ++c) std::memcpy(at(i, c), held_.data() + static_cast<size_t>(c - 1) * len_, static_cast<size_t>(len_));
  }

 private:
  char* at(int64_t row, int32_t col) const {
    return ra_ + ((static_cast<size_t>(col - 1) * n_) + static_cast<size_t>(row - 1)) * len_;
  }
  const char* key(int64_t row) const { return at(row, k_); }
  // Equal-length texts: comparing as unsigned bytes is the blank-padded
  // text order.
  int compare(const char* a, const char* b) const { return std::memcmp(a, b, static_cast<size_t>(len_)); }

  int32_t n_;
  char* ra_;
  int32_t k_, ncol_, len_;
  std::string held_;
};

class OrigTable {
 public:
  explicit OrigTable(std::vector<OrigRow>& rows) : rows_(rows.data()) {}
  bool less(int64_t i, int64_t j) const { return row(i).gen < row(j).gen; }
  bool less_held(int64_t j) const { return held_.gen < row(j).gen; }
  void hold(int64_t i) { held_ = row(i); }
  void copy(int64_t from, int64_t to) { row(to) = row(from); }
  void put_held(int64_t i) { row(i) = held_; }

 private:
  OrigRow& row(int64_t i) const { return rows_[i - 1]; }
  OrigRow* rows_;
  OrigRow held_{};
};

}  // namespace

void HEAPSORTCHAR(int32_t n, char* RA, int32_t k, int32_t ncol, int32_t len) {
  if (n < 2) return;
  CharTable table(n, RA, k, ncol, len);
  heap_sort(n, table);
}

void heap_sort_on_generation(std::vector<OrigRow>& orig, Progress& progress) {
  if (orig.size() < 2) return;
  OrigTable table(orig);
  constexpr int64_t kStepsPerReport = int64_t{1} << 18;
  int64_t steps = 0;
  heap_sort(static_cast<int64_t>(orig.size()), table, [&] {
    if (++steps == kStepsPerReport) {
      advance(progress, steps);
      steps = 0;
    }
  });
  advance(progress, steps);
}

}  // namespace vm::pedigree
