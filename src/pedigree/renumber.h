// Sort on generation and renumbering: new numbers 1..n in the order that
// the heap sort on generation leaves, so that every known parent is
// numbered before its offspring.
#pragma once

#include <cstdint>
#include <vector>

#include "common/progress.h"
#include "pedigree/pedigree.h"

namespace vm::pedigree {

// Renumbers `ped` in place (sire and dam as SORTPED, period and population
// as PPANIM, loaded_as the old number of each new one) from the generation
// of each animal in loading order. Tells `progress` of its two stages.
// The arrays are rearranged on up to `workers` threads, with the same
// result on any number.
void renumber(Pedigree& ped, const std::vector<int32_t>& gen, Progress& progress, unsigned workers = 1);

// The new number of each animal by its loading number (entry 0: 0), the
// inverse of loaded_as.
std::vector<int32_t> new_of_loaded(const Pedigree& ped);

}  // namespace vm::pedigree
