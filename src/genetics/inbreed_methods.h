// The two computations behind inbreeding(), each usable on its own (tests
// compare both with the literal walk).
//
// Living parents: the relationships among the animals that still have
// offspring to come. Where at any time only a few thousand animals are such
// parents (a closed line, a deep pedigree with parents of one age), their
// full relationship matrix is small, and each parent's row follows from its
// parents' rows: the cost grows with the animals times the living parents,
// not with the depth of the pedigree.
//
// By families: animals that no chain of parents and offspring joins are
// unrelated, so each family (a closed population, say) gets the method and
// the matrix of its own living parents.
//
// Indirect: for groups of parents, their relationships to all their mates
// from one pass over their ancestors and one over the mates' ancestors; for
// pedigrees with many living parents (herdbooks with popular sires).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/progress.h"
#include "genetics/genetics.h"

namespace vm::genetics {

// Entries 0..n, all 0 but F(0) = -1, which stands for an unknown parent.
Inbreeding start_inbreeding(int32_t n);

// D(i) = 0.5 - 0.25 (F(s) + F(d)); F(0) = -1 makes an unknown parent count
// as a founder's missing half.
inline double sampling_factor(const std::vector<double>& F, int32_t s, int32_t d) {
  return 0.5 - 0.25 * (F[s] + F[d]);
}
// INBREED's progress lines: the count after every 1000th of animals 1..n.

// Where each parent's row lives in the matrix of the living parents, and
// what the computation would cost.
struct LivePlan {
  std::vector<int32_t> slot;  // per animal; -1: never a parent
  int32_t slots = 0;          // rows (and columns) the matrix needs
  bool fits = false;          // slots within the limit given to plan_living
};

// Lays out the matrix, giving up (fits = false) once more than max_slots
// parents would be alive at the same time.
LivePlan plan_living(const Pedigree& ped, int32_t max_slots);

// F and D from the plan's matrix, the progress lines as INBREED writes them,
// on `workers` threads (at least one); the same bits for any number.
Inbreeding inbreeding_living(const Pedigree& ped, const LivePlan& plan, Progress& progress, unsigned workers = 1);

// F and D by the indirect computation on `workers` threads (at least one),
// relating up to `group_hubs` parents to their mates from one walk over
// their ancestors (fewer where a stage has few; 8 at least, 128 at most);
// the same bits for any number of workers and any group size.
inline constexpr size_t kIndirectGroupHubs = 128;
Inbreeding inbreeding_indirect(const Pedigree& ped, Progress& progress, unsigned workers,
                               size_t group_hubs = kIndirectGroupHubs);
// Bytes each indirect worker holds for a pedigree of n animals, besides
// the rows of its groups.
double indirect_worker_bytes(int32_t n);
// The workers of the indirect computation within its memory budget, at
// most `workers`.
unsigned indirect_workers(const Pedigree& ped, unsigned workers);

// The indirect computation in two steps: its plan (which hubs meet which
// mates at which stage), made on one thread, then the computation, whose
// workers each make their storage first. The plan needs nothing but the
// pedigree, so it can be made on one CPU while the other finds out which
// method each family takes. inbreeding_indirect() is the two at once,
// with the same bits.
class IndirectWork;
struct DropIndirectWork {
  void operator()(IndirectWork* work) const;
};
using PreparedIndirect = std::unique_ptr<IndirectWork, DropIndirectWork>;
PreparedIndirect prepare_indirect(const Pedigree& ped, unsigned workers, size_t group_hubs = kIndirectGroupHubs);
Inbreeding run_indirect(PreparedIndirect work, Progress& progress);

// The families of the pedigree: of[i] for animals 1..n, numbered 0..count-1
// in the order of their smallest animals (of[0] = -1).
struct Families {
  std::vector<int32_t> of;
  int32_t count = 0;
};
Families find_families(const Pedigree& ped);

// What the living parents' matrix of each family costs: the most rows it
// needs at once, and the entries computed, about (as LivePlan::work).
struct LivingCost {
  int32_t peak = 0;
  double work = 0;
};
std::vector<LivingCost> living_costs(const Pedigree& ped, const Families& families);

// What the indirect computation of each family costs, about, in the units
// of LivingCost::work: each group of hubs follows the ancestors of its
// hubs and of their mates, at least as many as one animal has, so 2 x hubs
// x the mean ancestors of a sample of the family's animals; a low estimate.
std::vector<double> indirect_works(const Pedigree& ped, const Families& families);

// Rows of the living parents' matrix beyond kMaxLivingRows, taken for a
// family only where its work is below the indirect estimate and the matrix
// fits the memory budget (2 GiB of matrix: random mating of thousands of
// parents per generation, where the indirect computation follows nearly
// every ancestor for every group).
inline constexpr int32_t kMaxCostedLivingRows = 16384;

// Where the families go: a family with at most max_rows living parents at
// once to a matrix, families packed together until a part holds
// min_part_animals animals; one with at most costed_rows to its own
// matrix where that costs less than the indirect computation; the others
// to the indirect computation.
// From plan_ahead_animals on, with several workers, the indirect
// computation's plan for the whole pedigree is made while the families'
// methods are found, and dropped where they take other methods.
struct PartLimits {
  int32_t max_rows = kMaxLivingRows;
  int32_t costed_rows = kMaxCostedLivingRows;
  int64_t min_part_animals = 4096;
  int32_t plan_ahead_animals = 1 << 17;  // below, both take milliseconds
};

// F and D family by family, the progress lines as INBREED writes them, on
// `workers` threads (at least one); the same bits for any number.
Inbreeding inbreeding_by_families(const Pedigree& ped, Progress& progress, unsigned workers, const PartLimits& limits = {});

}  // namespace vm::genetics
