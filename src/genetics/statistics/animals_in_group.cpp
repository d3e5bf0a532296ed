// n: the animals of the group.
#include "genetics/statistics.h"

namespace vm::genetics::statistics {

std::vector<double> animals_in_group(const GroupInput&, const GroupMembers& members) {
  std::vector<double> n(members.groups());
  for (size_t g = 0; g < n.size(); ++g) n[g] = static_cast<double>(members.of(g).size());
  return n;
}

}  // namespace vm::genetics::statistics
