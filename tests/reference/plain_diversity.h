// The diversity figures from their definitions, with dense matrices: the
// relationship matrix by the tabular method, the gene contributions T'x
// with T written out, the generations by recursion over the ancestors, and
// every mean summed afresh. For pedigrees of a few hundred animals.
#pragma once

#include <cstdint>

#include "genetics/diversity.h"

namespace vm::genetics {

// Every figure of diversity() for populations 1..Q and periods 1..P, with
// F taken from the relationship matrix.
Diversity diversity_dense(const Pedigree& ped, int32_t Q, int32_t P);

// The animals' depth by recursion from each animal to its ancestors,
// whatever the order of the animals.
PedigreeDepth pedigree_depth_recursive(const Pedigree& ped);

}  // namespace vm::genetics
