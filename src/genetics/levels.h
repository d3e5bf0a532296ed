// The order in which the inbreeding computations take the animals: levels,
// each animal after its parents. An animal without offspring sits on the
// level after its parents' (a founder on 0), a parent on the level just
// before its first offspring's: its relationships are then needed from
// that level to the level of its last offspring and no longer. (In the
// sorted numbering, founders without a record come first and animals with
// unknown parents early, long before their offspring.)
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "genetics/genetics.h"

namespace vm::genetics {

// The level of each animal 1..n (entry 0 is 0).
inline std::vector<int32_t> computation_levels(const Pedigree& ped) {
  const int32_t n = std::max(ped.n, 0);
  std::vector<int32_t> level(static_cast<size_t>(n) + 1, 0);
  level[0] = -1;
  // The parents' entries are read at random: asked for a few animals ahead.
  constexpr int32_t kAhead = 16;
  for (int32_t i = 1; i <= n; ++i) {
    if (i + kAhead <= n) __builtin_prefetch(&level[ped.sire[i + kAhead]]), __builtin_prefetch(&level[ped.dam[i + kAhead]]);
    level[i] = std::max(level[ped.sire[i]], level[ped.dam[i]]) + 1;
  }
  std::vector<int32_t> first(static_cast<size_t>(n) + 1, INT32_MAX);  // level of the first offspring
  for (int32_t i = n; i >= 1; --i) {
    if (i > kAhead) __builtin_prefetch(&first[ped.sire[i - kAhead]]), __builtin_prefetch(&first[ped.dam[i - kAhead]]);
    if (first[i] != INT32_MAX) level[i] = first[i] - 1;
    first[ped.sire[i]] = std::min(first[ped.sire[i]], level[i]);
    first[ped.dam[i]] = std::min(first[ped.dam[i]], level[i]);
  }
  level[0] = 0;
  return level;
}

// The animals grouped by a key 0..keys-1 (such as the level), each group
// in increasing number: group g at order[starts[g] .. starts[g + 1]).
struct Grouped {
  std::vector<int32_t> order, starts;
};
inline Grouped group_animals(const std::vector<int32_t>& key, int32_t keys) {
  Grouped g;
  g.starts.assign(static_cast<size_t>(keys) + 1, 0);
  const size_t n = key.size() - 1;
  for (size_t i = 1; i <= n; ++i) ++g.starts[static_cast<size_t>(key[i]) + 1];
  for (size_t k = 1; k < g.starts.size(); ++k) g.starts[k] += g.starts[k - 1];
  g.order.resize(n);
  std::vector<int32_t> next(g.starts.begin(), g.starts.end() - 1);
  for (size_t i = 1; i <= n; ++i) g.order[static_cast<size_t>(next[static_cast<size_t>(key[i])]++)] = static_cast<int32_t>(i);
  return g;
}

}  // namespace vm::genetics
