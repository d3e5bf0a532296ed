// Sort on generation and renumbering: new numbers 1..n in the order that
// the heap sort on generation leaves, so that every known parent is
// numbered before its offspring.
#pragma once

#include <cstdint>
#include <vector>

#include "common/sink.h"
#include "pedigree/generations.h"

namespace vm::pedigree {

struct Renumbered {
  std::vector<int32_t> old_of_new;  // column 1 of ORIG after the sort, 1..n
  std::vector<int32_t> new_of_old;  // NEW, 1..n
  std::vector<int32_t> sire, dam;   // SORTPED rows 1 and 2, 1..n
  std::vector<int32_t> period, pop; // PPANIM rows 1 and 2 in the new numbering
};

// period/pop: PPANIM rows in loading order, 1..n. Writes the two screen
// messages of the stage.
Renumbered renumber(const LoadedPedigree& ped, const std::vector<int32_t>& gen, const std::vector<int32_t>& period,
                    const std::vector<int32_t>& pop, Sink& screen);

}  // namespace vm::pedigree
