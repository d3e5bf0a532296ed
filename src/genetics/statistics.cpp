#include "genetics/statistics.h"

#include <cmath>

namespace vm::genetics {

namespace statistics {
#define VELMORA_GROUP_STATISTIC(column, function, count) std::vector<double> function(const GroupInput&);
#include "genetics/statistics/list.h"
#undef VELMORA_GROUP_STATISTIC
}  // namespace statistics

namespace {
constexpr GroupStatistic kListed[] = {
#define VELMORA_GROUP_STATISTIC(column, function, count) {column, statistics::function, count},
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

std::span<const GroupStatistic> listed_statistics() { return kListed; }

std::vector<GroupColumn> group_columns(const GroupInput& input) {
  std::vector<GroupColumn> columns;
  for (const auto& statistic : kGroupStatistics) {
    GroupColumn column{statistic.name, statistic.count, std::vector<double>(input.diversity.groups.size())};
    for (size_t g = 0; g < column.values.size(); ++g) {
      const GroupFigures& figures = input.diversity.groups[g];
      column.values[g] = figures.n == 0 ? std::nan("") : statistic.of(figures);
    }
    columns.push_back(std::move(column));
  }
  for (const GroupStatistic& statistic : kListed) columns.push_back({statistic.name, statistic.count, statistic.compute(input)});
  return columns;
}

std::vector<std::string_view> group_column_names() {
  std::vector<std::string_view> names;
  for (const auto& statistic : kGroupStatistics) names.push_back(statistic.name);
  for (const GroupStatistic& statistic : kListed) names.push_back(statistic.name);
  return names;
}

}  // namespace vm::genetics
