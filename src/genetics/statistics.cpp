#include "genetics/statistics.h"

namespace vm::genetics {

namespace statistics {
#define VELMORA_GROUP_STATISTIC(column, function) std::vector<double> function(const GroupInput&, const GroupMembers&);
#include "genetics/statistics/list.h"
#undef VELMORA_GROUP_STATISTIC
}  // namespace statistics

namespace {
constexpr GroupStatistic kStatistics[] = {
#define VELMORA_GROUP_STATISTIC(column, function) {column, statistics::function},
#include "genetics/statistics/list.h"
#undef VELMORA_GROUP_STATISTIC
};
}  // namespace

GroupMembers::GroupMembers(const Pedigree& ped, int32_t Q, int32_t P)
    : Q_(Q), P_(P), start_(static_cast<size_t>(Q) * static_cast<size_t>(P) + 1, 0) {
  auto group_of = [&](int32_t c) -> int64_t {
    const int32_t I = ped.pop[c], t = ped.period[c];
    return I >= 1 && I <= Q && t >= 1 && t <= P ? static_cast<int64_t>(group(I, t)) : -1;
  };
  for (int32_t c = 1; c <= ped.n; ++c)
    if (const int64_t g = group_of(c); g >= 0) ++start_[static_cast<size_t>(g) + 1];
  for (size_t g = 1; g < start_.size(); ++g) start_[g] += start_[g - 1];
  animal_.resize(static_cast<size_t>(start_.back()));
  std::vector<int64_t> next(start_.begin(), start_.end() - 1);
  for (int32_t c = 1; c <= ped.n; ++c)
    if (const int64_t g = group_of(c); g >= 0) animal_[static_cast<size_t>(next[static_cast<size_t>(g)]++)] = c;
}

std::span<const GroupStatistic> group_statistics() { return kStatistics; }

}  // namespace vm::genetics
