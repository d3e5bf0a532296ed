// The two heap sorts. They order the rows of a table on one key column,
// ascending, moving whole rows. They are not stable, and the order in which
// equal keys come out is part of the behaviour: population, period and
// animal numbers depend on it.
#pragma once

#include <cstdint>
#include <vector>

#include "common/progress.h"

namespace vm::pedigree {

// The heap sort over rows 1..n. Row access goes through `table`:
//   table.less(i, j)       key of row i < key of row j
//   table.less_held(j)     key of the held row < key of row j
//   table.hold(i)          copy row i aside
//   table.copy(from, to)   copy row `from` into row `to`
//   table.put_held(i)      copy the held row into row i
// `step` is called once per row put in place (heap_steps(n) times in all),
// for progress on long sorts.
struct NoStep {
  void operator()() const {}
};
inline int64_t heap_steps(int64_t n) { return n < 2 ? 0 : n / 2 + n - 1; }

template <class Table, class Step = NoStep>
void heap_sort(int64_t n, Table& table, Step step = {}) {
  if (n < 2) return;
  int64_t l = n / 2 + 1;
  int64_t ir = n;
  for (;;) {
    step();
    if (l > 1) {
      --l;
      table.hold(l);
    } else {
      table.hold(ir);
      table.copy(1, ir);
      --ir;
      if (ir == 1) {
        table.put_held(1);
        return;
      }
    }
    int64_t i = l;
    int64_t j = 2 * l;
    while (j <= ir) {
      if (j < ir && table.less(j, j + 1)) ++j;
      if (table.less_held(j)) {
        table.copy(j, i);
        i = j;
        j += j;
      } else {
        j = ir + 1;
      }
    }
    table.put_held(i);
  }
}

// HEAPSORTCHAR: RA holds n rows by ncol columns of texts of len characters,
// column by column; sorts on column k (1-based) by unsigned character code,
// a shorter text counting as blank-padded.
void HEAPSORTCHAR(int32_t n, char* RA, int32_t k, int32_t ncol, int32_t len);

// The generation sort's table ORIG kept row by row: {old number,
// generation}. Gives exactly the order of the heap sort of a two-column
// integer table on column 2, with far fewer cache misses.
struct OrigRow {
  int32_t animal;
  int32_t gen;
};
void heap_sort_on_generation(std::vector<OrigRow>& orig, Progress& progress);  // rows 0..n-1 stand for 1..n

}  // namespace vm::pedigree
