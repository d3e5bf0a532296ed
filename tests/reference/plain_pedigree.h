// The literal pedigree orderings: the generation sweeps over every animal,
// and the heap sort of an integer table kept column by column.
#pragma once

#include <cstdint>

#include "pedigree/generations.h"

namespace vm::pedigree {

// Sweep V moves every animal with a parent in generation V to V + 1,
// seeing the moves made earlier in the same sweep, until a sweep moves
// nothing or a generation up to V is empty.
Generations generations_by_sweeps(const Pedigree& ped);

// HEAPSORTINT2: RA holds n rows by ncol signed 32-bit integers, column by
// column; sorts on column k (1-based).
void HEAPSORTINT2(int32_t n, int32_t* RA, int32_t k, int32_t ncol);

}  // namespace vm::pedigree
