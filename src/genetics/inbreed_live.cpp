// Inbreeding from the relationships among the living parents.
//
// The animals are taken in blocks whose parents all come before the block.
// A parent of the block gets a row in the matrix when it is reached, and
// gives it up after the block that holds its last offspring; a freed row is
// handed to a later parent. For a parent i of the block with parents s and d:
//   a(i, j) = (a(s, j) + a(d, j)) / 2  for every older living j (its row),
//   a(i, k) = (a(s, k) + a(d, k)) / 2  for the other parents k of the block,
//             where a(s, k) = a(k, s) is already in k's new row,
//   a(i, i) = 1 + F(i),  F(i) = a(s, d) / 2,
// and an older row j gets the new columns from its own entries,
// a(j, i) = (a(j, s) + a(j, d)) / 2, when it is next read (see catch_up).
// Rows that are free hold stale values, which are never read.
#include "genetics/inbreed_methods.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>

#include "common/huge_pages.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "genetics/levels.h"

namespace vm::genetics {
namespace {

// out[j] = (x[j] + y[j]) / 2 over [begin, end), on the widest vectors the
// processor has: each entry the same sum, in any width.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void half_sums(double* out, const double* x, const double* y, size_t begin, size_t end) {
  for (size_t j = begin; j < end; ++j) out[j] = 0.5 * (x[j] + y[j]);
}
// The same into two rows.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void half_sums(double* out, double* copy, const double* x, const double* y, size_t begin, size_t end) {
  for (size_t j = begin; j < end; ++j) out[j] = copy[j] = 0.5 * (x[j] + y[j]);
}

// The blocks of the computation: the levels of computation_levels.
class BlockWalk {
 public:
  explicit BlockWalk(const Pedigree& ped) : ped_(ped) {
    std::vector<int32_t> level = computation_levels(ped);
    const int32_t levels = ped.n <= 0 ? 0 : *std::max_element(level.begin() + 1, level.end()) + 1;
    Grouped g = group_animals(level, levels);
    order_ = std::move(g.order);
    starts_ = std::move(g.starts);
    // The last offspring of each parent in this order; `level` is reused.
    std::vector<int32_t>& last = level;
    std::fill(last.begin(), last.end(), 0);
    constexpr size_t kAhead = 16;  // the parents' entries, at random
    for (size_t k = 0; k < order_.size(); ++k) {
      if (k + kAhead < order_.size()) {
        const auto ahead = static_cast<size_t>(order_[k + kAhead]);
        __builtin_prefetch(&last[ped.sire[ahead]]), __builtin_prefetch(&last[ped.dam[ahead]]);
      }
      const int32_t i = order_[k];
      last[ped.sire[i]] = i;
      last[ped.dam[i]] = i;
    }
    last[0] = 0;
    last_ = std::move(last);
  }

  bool next() {
    if (++block_ + 1 >= starts_.size()) return false;
    parents_.clear();
    leaving_.clear();
    const std::span<const int32_t> block = animals();
    constexpr size_t kAhead = 16;
    for (size_t k = 0; k < block.size(); ++k) {
      if (k + kAhead < block.size()) {
        const auto ahead = static_cast<size_t>(block[k + kAhead]);
        __builtin_prefetch(&last_[ahead]);
        __builtin_prefetch(&last_[static_cast<size_t>(ped_.sire[ahead])]);
        __builtin_prefetch(&last_[static_cast<size_t>(ped_.dam[ahead])]);
      }
      const int32_t i = block[k];
      if (last_[i] != 0) parents_.push_back(i);
      const int32_t s = ped_.sire[i], d = ped_.dam[i];
      if (s != 0 && last_[s] == i) leaving_.push_back(s);
      if (d != 0 && d != s && last_[d] == i) leaving_.push_back(d);
    }
    return true;
  }

  // The animals of the block, their parents all in earlier blocks.
  std::span<const int32_t> animals() const {
    return std::span<const int32_t>(order_).subspan(static_cast<size_t>(starts_[block_]),
                                                    static_cast<size_t>(starts_[block_ + 1] - starts_[block_]));
  }
  // Those with offspring, which join the matrix after the block's
  // coefficients, and the parents whose last offspring is in the block.
  const std::vector<int32_t>& parents() const { return parents_; }
  const std::vector<int32_t>& leaving() const { return leaving_; }

 private:
  const Pedigree& ped_;
  std::vector<int32_t> order_, starts_, last_;
  size_t block_ = static_cast<size_t>(-1);
  std::vector<int32_t> parents_, leaving_;
};

// The rows handed out and given back, the lowest free row first. Which
// row a parent gets changes no value, only where the values lie: with the
// lowest first, the rows in use stay packed at the start of the matrix,
// so each pass over a row's columns in use touches fewer cache lines, and
// the rows needed are still the most alive at once.
class Rows {
 public:
  int32_t take() {
    if (free_.empty()) return used_++;
    std::pop_heap(free_.begin(), free_.end(), std::greater<>());
    const int32_t r = free_.back();
    free_.pop_back();
    return r;
  }
  void give_back(int32_t r) {
    free_.push_back(r);
    std::push_heap(free_.begin(), free_.end(), std::greater<>());
  }
  int32_t used() const { return used_; }

 private:
  std::vector<int32_t> free_;  // a heap, the lowest on top
  int32_t used_ = 0;
};

class LiveMatrix {
 public:
  LiveMatrix(const Pedigree& ped, const LivePlan& plan, unsigned workers)
      : ped_(ped), plan_(plan), width_(static_cast<size_t>(plan.slots)), stride_(width_ + 1), workers_(workers),
        a_(static_cast<double*>(allocate_zeroed_huge(width_ * stride_ * sizeof(double)))), walk_(ped),
        r_(start_inbreeding(ped.n)) {}

  Inbreeding run(Progress& progress) {
    while (walk_.next()) {
      catch_up(walk_.animals(), walk_.parents());
      coefficients(walk_.animals());
      join(walk_.parents(), walk_.leaving());
      advance(progress, static_cast<int64_t>(walk_.animals().size()));
    }
    return std::move(r_);
  }

 private:
  struct ParentSlots {
    int32_t self, sire, dam;  // columns; zero_column(): unknown parent
  };
  // Threads only for steps whose entries outweigh starting them; each
  // entry is computed alike on any thread.
  static constexpr size_t kThreadedEntries = size_t{1} << 16;

  double* row(int32_t slot) { return a_.get() + static_cast<size_t>(slot) * stride_; }
  int32_t slot_of(int32_t animal) const { return animal == 0 ? -1 : plan_.slot[animal]; }
  // An unknown parent's column is the zero column after the slots': it is
  // never written, so a(i, unknown) = 0 is read without a test.
  int32_t column_of(int32_t animal) const { return animal == 0 ? zero_column() : plan_.slot[animal]; }
  int32_t zero_column() const { return static_cast<int32_t>(width_); }

  // F and D of the block, all from rows of parents before it.
  void coefficients(std::span<const int32_t> animals) {
    for (int32_t i : animals) {
      const int32_t s = ped_.sire[i], d = ped_.dam[i];
      r_.D[i] = sampling_factor(r_.F, s, d);
      r_.F[i] = s != 0 && d != 0 ? 0.5 * row(slot_of(s))[slot_of(d)] : 0.0;
    }
  }

  // The rows the block reads, brought up to date: the sires' for F, both
  // parents' for the rows of the joining animals. A row that stays in use
  // gets the columns of the animals joining after it only when it is read:
  // each join's columns from the row itself, in the order of the joins, so
  // the same sums as adding them to every row at every join; but a row
  // read once every few joins passes through the cache once for all of
  // them, and a row given up before it is read again never gets them.
  void catch_up(std::span<const int32_t> animals, const std::vector<int32_t>& joining) {
    const size_t now = joined_.size();
    stale_.clear();
    size_t entries = 0;
    auto read = [&](int32_t animal) {
      if (animal == 0) return;
      const auto r = static_cast<size_t>(plan_.slot[animal]);
      if (has_[r] == now) return;
      entries += now - has_[r];
      stale_.push_back({r, has_[r]});
      has_[r] = now;
    };
    for (const int32_t i : animals)
      if (ped_.dam[i] != 0) read(ped_.sire[i]);
    for (const int32_t i : joining) read(ped_.sire[i]), read(ped_.dam[i]);
    parallel_for(stale_.size(), entries < kThreadedEntries ? 1u : workers_, [&](size_t k, unsigned) {
      double* out = row(static_cast<int32_t>(stale_[k].row));
      for (size_t j = stale_[k].from; j < now; ++j) {
        const auto [t, s, d] = joined_[j];
        out[t] = 0.5 * (out[s] + out[d]);
      }
    });
  }

  // The parents whose last offspring is in the block give up their rows
  // once the joining rows have read them.
  void join(const std::vector<int32_t>& animals, const std::vector<int32_t>& leaving) {
    if (!animals.empty()) {
      forget_joins_every_row_holds();
      join_begin_ = joined_.size();
      for (int32_t i : animals) joined_.push_back({plan_.slot[i], column_of(ped_.sire[i]), column_of(ped_.dam[i])});
      find_columns_in_use(leaving);
      new_rows();
    }
    for (int32_t p : leaving) in_use_[static_cast<size_t>(plan_.slot[p])] = 0;
    for (int32_t i : animals) {
      const auto r = static_cast<size_t>(plan_.slot[i]);
      in_use_[r] = 1;
      has_[r] = joined_.size();
      row(plan_.slot[i])[r] = 1.0 + r_.F[i];
    }
  }

  // The joins that every row in use has taken in are not needed again:
  // dropped once they outnumber the rows, so that a long line of a few
  // rows keeps little (the first half at least, not to move the rest for
  // a few).
  void forget_joins_every_row_holds() {
    if (joined_.size() < 2 * width_ + 4096) return;
    size_t held = joined_.size();
    for (size_t r = 0; r < width_; ++r)
      if (in_use_[r] != 0) held = std::min(held, has_[r]);
    if (held < joined_.size() / 2) return;
    joined_.erase(joined_.begin(), joined_.begin() + static_cast<std::ptrdiff_t>(held));
    for (size_t r = 0; r < width_; ++r) has_[r] = in_use_[r] != 0 ? has_[r] - held : 0;
  }

  // The runs of slots in use before the join, the only columns a new row
  // needs from its parents' rows, each marked whether its parents stay
  // after the join. Runs a few columns apart are one: the columns between
  // are free and hold stale values, which are as well computed as skipped
  // where they share a cache line with columns in use, and with rows of
  // scattered free slots the runs would be too short for vectors.
  void find_columns_in_use(const std::vector<int32_t>& leaving) {
    constexpr size_t kJoinedAcross = 8;  // a cache line of doubles
    for (const int32_t p : leaving) in_use_[static_cast<size_t>(plan_.slot[p])] = kLeaving;
    runs_.clear();
    for (size_t j = 0; j < width_;) {
      const char kind = in_use_[j];
      if (kind == 0) {
        ++j;
        continue;
      }
      const size_t begin = j;
      while (j < width_ && in_use_[j] == kind) ++j;
      const bool stays = kind == 1;
      if (!runs_.empty() && begin - runs_.back().end <= kJoinedAcross) {
        runs_.back().end = j;
        runs_.back().stays |= stays;
      } else {
        runs_.push_back({begin, j, stays});
      }
    }
  }

  // Each new row over the columns in use, then its columns of the joining
  // animals, a(i, k) = (a(i, s) + a(i, d)) / 2 from the row just made (the
  // joining animals are not parents of each other). The row's columns of
  // parents that leave now are read only for those, so they go to the
  // worker's own row in cache and are not written to the matrix (random
  // mating in cohorts: that is half of each new row).
  void new_rows() {
    const std::span<const ParentSlots> joining = this_join();
    const unsigned workers = joining.size() * width_ < kThreadedEntries ? 1u : workers_;
    parallel_for(joining.size(), workers, [&](size_t k, unsigned w) {
      double* sums = sums_[w].data();
      new_row(joining[k], sums);
      double* out = row(joining[k].self);
      for (const auto& [t, s, d] : joining) out[t] = 0.5 * (sums[s] + sums[d]);
    });
  }

  // A new row's columns in use from its parents' rows, into `sums` and,
  // for the parents that stay, into the row itself.
  void new_row(const ParentSlots& p, double* sums) {
    double* out = row(p.self);
    const double* x = p.sire != zero_column() ? row(p.sire) : nullptr;
    const double* y = p.dam != zero_column() ? row(p.dam) : nullptr;
    for (const auto& [begin, end, stays] : runs_) {
      if (x && y) {
        if (stays) {
          half_sums(out, sums, x, y, begin, end);
        } else {
          half_sums(sums, x, y, begin, end);
        }
      } else if (x || y) {
        const double* z = x ? x : y;
        for (size_t j = begin; j < end; ++j) sums[j] = 0.5 * z[j];
        if (stays) std::copy(sums + begin, sums + end, out + begin);
      } else {
        std::fill(sums + begin, sums + end, 0.0);
        if (stays) std::fill(out + begin, out + end, 0.0);
      }
    }
  }

  std::span<const ParentSlots> this_join() const {
    return std::span<const ParentSlots>(joined_).subspan(join_begin_);
  }

  const Pedigree& ped_;
  const LivePlan& plan_;
  const size_t width_, stride_;  // slots; the row length, the zero column included
  const unsigned workers_;
  struct FreeHuge {
    void operator()(double* p) const { free_huge(p); }
  };
  // Row-major, width_ rows of stride_; zero where nothing has been
  // written, from the system's fresh pages rather than cleared once more.
  std::unique_ptr<double[], FreeHuge> a_;
  BlockWalk walk_;
  Inbreeding r_;
  // in_use_[r]: 1 for a row in use, kLeaving for one given up at this join.
  static constexpr char kLeaving = 2;
  std::vector<char> in_use_ = std::vector<char>(width_, 0);
  std::vector<ParentSlots> joined_;  // of the joining animals, in order, but for those forgotten
  size_t join_begin_ = 0;            // where the latest join's animals begin
  // has_[r]: the joins whose columns row r in use holds, joined_[0 .. has_[r])
  // and those forgotten before them.
  std::vector<size_t> has_ = std::vector<size_t>(width_, 0);
  struct Stale {
    size_t row, from;
  };
  std::vector<Stale> stale_;  // the rows catch_up brings up to date
  struct Run {
    size_t begin, end;
    bool stays;
  };
  // Per worker, a row's sums; the zero column is never written and stays 0.
  std::vector<std::vector<double>> sums_ =
      std::vector<std::vector<double>>(workers_, std::vector<double>(stride_, 0.0));
  std::vector<Run> runs_;
};

}  // namespace

LivePlan plan_living(const Pedigree& ped, int32_t max_slots) {
  LivePlan plan;
  plan.slot.assign(static_cast<size_t>(std::max(ped.n, 0)) + 1, -1);
  BlockWalk walk(ped);
  Rows rows;
  while (walk.next()) {
    for (int32_t p : walk.parents()) plan.slot[p] = rows.take();
    if (rows.used() > max_slots) return plan;
    for (int32_t p : walk.leaving()) rows.give_back(plan.slot[p]);
  }
  plan.slots = rows.used();
  plan.fits = true;
  return plan;
}

std::vector<LivingCost> living_costs(const Pedigree& ped, const Families& families) {
  std::vector<int32_t> live(static_cast<size_t>(families.count), 0);
  std::vector<LivingCost> cost(live.size());
  auto family = [&](int32_t animal) { return static_cast<size_t>(families.of[static_cast<size_t>(animal)]); };
  BlockWalk walk(ped);
  while (walk.next()) {
    for (int32_t p : walk.parents()) cost[family(p)].peak = std::max(cost[family(p)].peak, ++live[family(p)]);
    // As in plan_living: a row per joining parent and their columns in the rows in use.
    for (int32_t p : walk.parents()) cost[family(p)].work += 2.0 * cost[family(p)].peak;
    for (int32_t p : walk.leaving()) --live[family(p)];
  }
  return cost;
}

Inbreeding inbreeding_living(const Pedigree& ped, const LivePlan& plan, Progress& progress, unsigned workers) {
  return LiveMatrix(ped, plan, std::max(workers, 1u)).run(progress);
}

}  // namespace vm::genetics
