// n_no_parents: the group's animals with both parents unknown (the
// group's own founders), beside n_both_parents and n_one_parent.
#include <cmath>

#include "genetics/statistics.h"

namespace vm::genetics::statistics {

std::vector<double> animals_without_parents(const GroupInput& input) {
  std::vector<double> n(input.members.groups(), std::nan(""));
  for (size_t g = 0; g < n.size(); ++g) {
    const std::span<const int32_t> animals = input.members.of(g);
    if (animals.empty()) continue;
    int64_t none = 0;
    for (int32_t c : animals) none += input.ped.sire[c] == 0 && input.ped.dam[c] == 0;
    n[g] = static_cast<double>(none);
  }
  return n;
}

}  // namespace vm::genetics::statistics
