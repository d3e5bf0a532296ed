// The literal algorithms of the genetic computations: linked lists of the
// ancestors still to visit, walked as they are defined, and sums over all
// animals. The fast code must give the same bits (or, for the indirect
// inbreeding, the same values but for rounding).
#pragma once

#include <cstdint>
#include <vector>

#include "genetics/genetics.h"

namespace vm::genetics {

// F and D by one list walk per animal; a pair of parents repeated on the
// next animal is not walked again.
Inbreeding inbreeding_plain(const Pedigree& ped, Sink& screen);
std::vector<double> INBREED_plain(const Pedigree& ped, Sink& screen);
// F and D from the relationship matrix of the living parents, every row
// brought up to date after every level (the levels of
// computation_levels): the sums of the fast matrix in the same order, so
// the same bits, however the fast code lays out and schedules its rows.
Inbreeding inbreeding_living_plain(const Pedigree& ped);
// CALCL: row I of L for the group xz (xz[c] != 0 for members, size n + 1);
// returns L(I, 0..n).
std::vector<double> CALCL_plain(const Pedigree& ped, const std::vector<int32_t>& xz);
// The period loop with CALCL_plain per population and full sums.
DriftResults drift_per_period_plain(const Pedigree& ped, const std::vector<double>& D, const Names& names,
                                    const Report& report);

}  // namespace vm::genetics
