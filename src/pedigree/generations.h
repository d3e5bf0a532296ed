// Generation numbers: 1 for a founder, otherwise one above the highest
// known parent. Reports the generations in the log and stops the run on a
// loop of descent, listing the animals to check.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "common/sink.h"
#include "pedigree/pedigree.h"

namespace vm::pedigree {

// The code of an animal number, without trailing blanks.
using CodeOf = std::function<std::string_view(int32_t)>;

struct Generations {
  std::vector<int32_t> gen;      // GEN, 1..n; 0: no generation
  std::vector<int64_t> angen;    // ANGEN, 1..V (entry 0 unused)
  int32_t V = 0;                 // number of generations
  // Set when the sweeps stopped at an empty generation: the lowest one.
  int32_t empty_generation = 0;
};

// The sweeps: sweep V moves every animal with a parent in generation V to
// V + 1, seeing the moves made earlier in the same sweep, until a sweep
// moves nothing or a generation up to V is empty. Each sweep visits only
// the offspring of the animals in generation V, so the time goes with the
// moves, not with n times the generations.
Generations generations_by_moves(const Pedigree& ped);

// The same result in time proportional to n: longest lines of descent by
// a depth-first walk; falls back to the sweeps when the pedigree holds a
// loop of descent.
Generations assign_generation_numbers(const Pedigree& ped);

// The stage: screen message, generations, log report, loop errors (which
// end the run with "Program has terminated").
std::vector<int32_t> assign_generations(const Pedigree& ped, const CodeOf& code_of, const Report& report);

}  // namespace vm::pedigree
