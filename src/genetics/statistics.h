// Figures per population and period ("group statistics"): each is a name
// and a function of the loaded pedigree, its groups' members and the
// drift results, listed once in statistics/list.h. The files, the report
// and the bindings go through the list, so a new figure is a file under
// statistics/ and a line in the list.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

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
// D, and the figures of the period loop.
struct GroupInput {
  const Pedigree& ped;
  const Inbreeding& inbreeding;
  const DriftResults& drift;
};

struct GroupStatistic {
  std::string_view name;  // the column's name in the files
  // A value per group g; NaN (absent) where the group has no animals.
  std::vector<double> (*compute)(const GroupInput& input, const GroupMembers& members);
};

// Every group statistic, in the order of the files' columns.
std::span<const GroupStatistic> group_statistics();


}  // namespace vm::genetics
