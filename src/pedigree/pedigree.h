// The run's animals, as the stages fill and read them in turn.
#pragma once

#include <cstdint>
#include <vector>

namespace vm {

// Animals 1..n (entry 0 of every array unused). The loading fills them in
// the order the records name them; the renumbering puts them in the order
// of the sort on generation, every known parent before its offspring.
struct Pedigree {
  int32_t n = 0;
  std::vector<int32_t> sire, dam;     // 0: unknown parent
  std::vector<int32_t> period, pop;   // 0: no record of its own (a parent only)
  // After the renumbering, the number each animal had when it was loaded,
  // which its code carries in the code store.
  std::vector<int32_t> loaded_as;
};

}  // namespace vm
