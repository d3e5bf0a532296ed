// Generation numbers: 1 for a founder, otherwise one above the highest
// known parent. Reports the generations in the log and stops the run on a
// loop of descent, listing the animals to check.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
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
// How a loop is told besides the listing: on the screen and in the log
// (the option interface), or as a note (the classic one keeps its lines).
enum class LoopReport { kNote, kScreenAndLog };
using LoopNote = std::function<void(const std::string&)>;
std::vector<int32_t> assign_generations(const Pedigree& ped, const CodeOf& code_of, const Report& report,
                                        LoopReport loops = LoopReport::kNote, const LoopNote& note = {});

// A loop of descent: animals[0] and each next one its parent (sire[k]:
// animals[k + 1] is the sire of animals[k]); the last one's parent is
// animals[0].
struct Loop {
  std::vector<int32_t> animals;
  std::vector<bool> sire;
};
// The loops a depth-first walk along the parents meets, one per edge that
// closes a loop, at most `limit` of them.
std::vector<Loop> find_loops(const Pedigree& ped, size_t limit);
// "A -> B (sire) -> A (dam)", with at most `most` animals before the
// return to the first ("..." for the rest).
std::string loop_text(const Loop& loop, const CodeOf& code_of, size_t most);

}  // namespace vm::pedigree
