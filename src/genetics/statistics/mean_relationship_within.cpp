// mean_relationship_within: the mean relationship among the group's
// animals (themselves included), as the period loop found it.
#include <cmath>

#include "genetics/statistics.h"

namespace vm::genetics::statistics {

std::vector<double> mean_relationship_within(const GroupInput& input, const GroupMembers& members) {
  std::vector<double> within(members.groups(), std::nan(""));
  for (int32_t t = 1; t <= members.P(); ++t)
    for (int32_t I = 1; I <= members.Q(); ++I) {
      const size_t g = members.group(I, t);
      if (!members.of(g).empty()) within[g] = input.drift.get(input.drift.xzazx, I, I, t);
    }
  return within;
}

}  // namespace vm::genetics::statistics
