// The step that both plain list walks share: the ancestor j, with
// contribution value[j], passes half of it to its larger parent ks and then
// to its smaller parent kd, inserting each into the list (kept in
// decreasing number) unless it is there already. point is the list;
// the search for kd continues from where ks was found.
#pragma once

#include <cstdint>
#include <vector>

namespace vm::genetics {

inline void pass_half_to_parents(std::vector<int32_t>& point, std::vector<double>& value, int32_t j, int32_t ks,
                                 int32_t kd) {
  if (ks <= 0) return;
  int32_t k = j;
  const double r = 0.5 * value[j];
  while (point[k] > ks) k = point[k];
  value[ks] += r;
  if (point[k] != ks) {
    point[ks] = point[k];
    point[k] = ks;
  }
  if (kd > 0) {
    while (point[k] > kd) k = point[k];
    value[kd] += r;
    if (point[k] != kd) {
      point[kd] = point[k];
      point[k] = kd;
    }
  }
}

}  // namespace vm::genetics
