// Figures per population and period ("group columns"), in the order of the
// files' columns: the diversity figures (kGroupStatistics in diversity.h,
// computed together in one pass), then the statistics of
// statistics/list.h, each a function in a file of its own. The summary
// file, the library's results and through them the bindings iterate this
// one list, so a new figure that needs nothing the diversity pass does not
// give is a file under statistics/ and a line in list.h.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "genetics/diversity.h"
#include "genetics/genetics.h"
#include "pedigree/pedigree.h"

namespace vm::genetics {

// The animals of each group, population I and period t (those with a
// record naming both), as group g = (t - 1) * Q + (I - 1), each by
// increasing number.
class GroupMembers {
 public:
  GroupMembers(const Pedigree& ped, int32_t Q, int32_t P);
  int32_t Q() const { return Q_; }
  int32_t P() const { return P_; }
  size_t groups() const { return start_.size() - 1; }
  size_t group(int32_t I, int32_t t) const {
    return static_cast<size_t>(t - 1) * static_cast<size_t>(Q_) + static_cast<size_t>(I - 1);
  }
  std::span<const int32_t> of(size_t g) const {
    return {animal_.data() + start_[g], static_cast<size_t>(start_[g + 1] - start_[g])};
  }

 private:
  int32_t Q_ = 0, P_ = 0;
  std::vector<int64_t> start_;
  std::vector<int32_t> animal_;
};

// What a group statistic reads: the pedigree in the new numbering, F and
// D, the period loop's figures, the diversity figures and the members.
struct GroupInput {
  const Pedigree& ped;
  const Inbreeding& inbreeding;
  const DriftResults& drift;
  const Diversity& diversity;
  const GroupMembers& members;
};

// A statistic of its own file: a value per group g, NaN where the group has
// no animals; `count`: a whole number, written as such.
struct GroupStatistic {
  std::string_view name;
  std::vector<double> (*compute)(const GroupInput& input);
  bool count;
};
std::span<const GroupStatistic> listed_statistics();

// One column's values, by group g.
struct GroupColumn {
  std::string_view name;
  bool count;
  std::vector<double> values;
};
// Every group column, in the files' order.
std::vector<GroupColumn> group_columns(const GroupInput& input);
// Their names alone.
std::vector<std::string_view> group_column_names();

}  // namespace vm::genetics
