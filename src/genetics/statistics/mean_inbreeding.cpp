// mean_inbreeding: the mean F of the group's animals, summed in increasing
// animal number.
#include <cmath>

#include "genetics/statistics.h"

namespace vm::genetics::statistics {

std::vector<double> mean_inbreeding(const GroupInput& input, const GroupMembers& members) {
  std::vector<double> mean(members.groups(), std::nan(""));
  for (size_t g = 0; g < mean.size(); ++g) {
    const std::span<const int32_t> animals = members.of(g);
    if (animals.empty()) continue;
    double sum = 0;
    for (int32_t c : animals) sum += input.inbreeding.F[static_cast<size_t>(c)];
    mean[g] = sum / static_cast<double>(animals.size());
  }
  return mean;
}

}  // namespace vm::genetics::statistics
