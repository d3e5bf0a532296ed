// Inbreeding coefficients, and from them the Mendelian sampling factors D:
// from the matrix of the living parents where it is small (see
// inbreed_live.cpp), otherwise indirectly from the relationships of groups
// of parents to all their mates.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/cpus.h"
#include "common/format.h"
#include "common/parallel.h"
#include "genetics/genetics.h"
#include "genetics/inbreed_methods.h"
#include "genetics/levels.h"

namespace vm::genetics {
namespace {

// D(i) = 0.5 - 0.25 (F(s) + F(d)); F(0) = -1 makes an unknown parent count
// as a founder's missing half.
double sampling_factor(const std::vector<double>& F, int32_t s, int32_t d) {
  return 0.5 - 0.25 * (F[s] + F[d]);
}

// What the passes need of an animal, together in one record, as they jump
// about the whole pedigree: D once it is known, and both parents.
struct Ancestor {
  double D = 0.0;
  int32_t sire = 0, dam = 0;
};

// The indirect computation. F(i) = a(s, d) / 2, with a the additive
// relationship of the parents, and A = T D T' (T: the contributions of
// ancestors, D diagonal). The pairs of parents are grouped by their hub,
// the parent with more offspring; for up to kColumns hubs h at once:
//   w = T' e_h over the hubs and their ancestors, largest first,
//   u = D w,
//   v = T u over the mates and their ancestors, smallest first,
// and a(h, m) = v(m) for every mate m of hub h. v is 0 below the smallest
// ancestor of the hubs, so the mates' ancestors are not followed below it.
// One pass over the hubs' ancestors and one over the union of the mates'
// ancestors serve every pair of the group, in vectors of kColumns values
// per animal.
//
// Stages: the levels of computation_levels, for the pairs whose offspring
// are parents (their F is needed by the next level), then one last stage
// for all the others, where each hub has all its remaining mates. Within a
// stage no pair depends on another, so the groups go to several workers;
// each group's values are the same on any worker.
constexpr size_t kColumns = 8;
using Row = std::array<double, kColumns>;

struct Pair {
  int32_t hub, mate, kid;
};

// Sorts animal numbers (below 2^31) in increasing order: a radix sort on
// 11-bit digits for long lists, which the passes over a group's ancestors
// produce by the thousand; `spare` is working storage.
void sort_numbers(std::vector<int32_t>& v, std::vector<int32_t>& spare) {
  if (v.size() < 512) {
    std::sort(v.begin(), v.end());
    return;
  }
  constexpr int kBits = 11;
  constexpr size_t kBuckets = size_t{1} << kBits;
  const auto top = static_cast<uint32_t>(*std::max_element(v.begin(), v.end()));
  spare.resize(v.size());
  for (int shift = 0; shift < static_cast<int>(std::bit_width(top)); shift += kBits) {
    std::array<uint32_t, kBuckets> start{};
    for (int32_t x : v) ++start[(static_cast<uint32_t>(x) >> shift) & (kBuckets - 1)];
    uint32_t sum = 0;
    for (uint32_t& c : start) sum += std::exchange(c, sum);
    for (int32_t x : v) spare[start[(static_cast<uint32_t>(x) >> shift) & (kBuckets - 1)]++] = x;
    v.swap(spare);
  }
}

// One worker's storage: an index per animal to its row of values, and the
// lists of a group's passes.
class Relater {
 public:
  explicit Relater(int32_t n)
      : row_of_(static_cast<size_t>(n) + 1, 0), stamp_(static_cast<size_t>(n) + 1, 0) {}

  // The pairs of up to kColumns hubs (sorted on hub), F of their kids.
  void relate(const std::vector<Ancestor>& anc, std::span<const Pair> pairs, std::vector<double>& F) {
    start_group();
    const int32_t lowest = pass_up(anc, pairs);
    pass_down(anc, pairs, lowest);
    int column = -1;
    int32_t hub = 0;
    for (const Pair& p : pairs) {
      if (column < 0 || p.hub != hub) hub = p.hub, ++column;
      // A mate below all of the hubs' ancestors is not related to them.
      F[p.kid] = p.mate < lowest ? 0.0 : 0.5 * rows_[static_cast<size_t>(row_of_[p.mate])][static_cast<size_t>(column)];
    }
  }

 private:
  void start_group() {
    rows_.clear();
    animals_.clear();
    ++group_;
  }

  bool has_row(int32_t x) const {
    const size_t r = static_cast<size_t>(row_of_[x]);
    return r < animals_.size() && animals_[r] == x;
  }
  size_t row(int32_t x) {
    if (!has_row(x)) {
      row_of_[x] = static_cast<int32_t>(animals_.size());
      animals_.push_back(x);
      rows_.push_back(Row{});
    }
    return static_cast<size_t>(row_of_[x]);
  }

  // w = T'e_h for each hub h (column), then u = D w; returns the smallest
  // animal reached.
  int32_t pass_up(const std::vector<Ancestor>& anc, std::span<const Pair> pairs) {
    list_.clear();
    int column = -1;
    int32_t hub = 0;
    for (const Pair& p : pairs) {
      if (column >= 0 && p.hub == hub) continue;
      hub = p.hub;
      ++column;
      if (!has_row(hub)) list_.push_back(hub);
      rows_[row(hub)][static_cast<size_t>(column)] = 1.0;
    }
    for (size_t k = 0; k < list_.size(); ++k) {
      const Ancestor& a = anc[list_[k]];
      for (int32_t q : {a.sire, a.dam})
        if (q != 0 && !has_row(q)) {
          row(q);
          list_.push_back(q);
        }
    }
    sort_numbers(list_, spare_);
    // Largest first: an animal's w is complete when it is reached, as all
    // its offspring among the ancestors have larger numbers.
    for (auto it = list_.rbegin(); it != list_.rend(); ++it) {
      const int32_t x = *it;
      const Ancestor& a = anc[x];
      Row& w = rows_[static_cast<size_t>(row_of_[x])];
      for (int32_t q : {a.sire, a.dam}) {
        if (q == 0) continue;
        Row& up = rows_[static_cast<size_t>(row_of_[q])];
        for (size_t c = 0; c < kColumns; ++c) up[c] += 0.5 * w[c];
      }
      for (size_t c = 0; c < kColumns; ++c) w[c] *= a.D;
    }
    return list_.empty() ? 0 : list_.front();
  }

  // v = T u over the mates and their ancestors from `lowest` on, smallest
  // first; v of a parent below `lowest` (or unknown) is 0.
  void pass_down(const std::vector<Ancestor>& anc, std::span<const Pair> pairs, int32_t lowest) {
    list_.clear();
    auto reach = [&](int32_t x) {
      if (x >= lowest && x != 0 && stamp_[x] != group_) {
        stamp_[x] = group_;
        list_.push_back(x);
      }
    };
    for (const Pair& p : pairs) reach(p.mate);
    for (size_t k = 0; k < list_.size(); ++k) {
      const Ancestor& a = anc[list_[k]];
      reach(a.sire);
      reach(a.dam);
    }
    sort_numbers(list_, spare_);
    for (int32_t x : list_) row(x);
    static const Row kZero{};
    for (int32_t x : list_) {
      const Ancestor& a = anc[x];
      const Row& s = a.sire >= lowest && a.sire != 0 ? rows_[static_cast<size_t>(row_of_[a.sire])] : kZero;
      const Row& d = a.dam >= lowest && a.dam != 0 ? rows_[static_cast<size_t>(row_of_[a.dam])] : kZero;
      Row& v = rows_[static_cast<size_t>(row_of_[x])];
      for (size_t c = 0; c < kColumns; ++c) v[c] += 0.5 * (s[c] + d[c]);
    }
  }

  std::vector<int32_t> row_of_;  // valid where has_row says so
  std::vector<int32_t> stamp_;   // group_: reached by the pass down
  int32_t group_ = 0;
  std::vector<int32_t> animals_;  // the animal of each row
  std::vector<Row> rows_;
  std::vector<int32_t> list_, spare_;
};

class IndirectInbreeder {
 public:
  IndirectInbreeder(const Pedigree& ped, unsigned workers)
      : ped_(ped), n_(ped.n), r_(start_inbreeding(ped.n)), anc_(static_cast<size_t>(ped.n) + 1) {
    schedule();
    for (unsigned t = 0; t < workers; ++t) relaters_.emplace_back(n_);
  }

  Inbreeding run(Sink& screen) {
    for (size_t stage = 0; stage + 1 < stage_starts_.size(); ++stage) {
      relate_stage(stage);
      for (int32_t k = animal_starts_[stage]; k < animal_starts_[stage + 1]; ++k) settle(animals_[k]);
    }
    write_inbreeding_progress(n_, screen);
    return std::move(r_);
  }

 private:
  // The pairs of each stage, sorted on hub, and the animals whose D is
  // known after each stage.
  void schedule() {
    std::vector<int32_t> level = computation_levels(ped_);
    std::vector<int32_t> pairs_of(static_cast<size_t>(n_) + 1, 0);
    bool any_leaf = false;
    int32_t levels = 0;
    for (int32_t i = 1; i <= n_; ++i) {
      if (ped_.sire[i] != 0 && ped_.dam[i] != 0) ++pairs_of[ped_.sire[i]], ++pairs_of[ped_.dam[i]];
      levels = std::max(levels, level[i] + 1);
    }
    // Stage of an animal: its level if it is a parent, else the last.
    std::vector<char> parent(static_cast<size_t>(n_) + 1, 0);
    for (int32_t i = 1; i <= n_; ++i) parent[ped_.sire[i]] = parent[ped_.dam[i]] = 1;
    for (int32_t i = 1; i <= n_; ++i)
      if (!parent[i]) level[i] = levels, any_leaf = true;
    (void)any_leaf;
    const int32_t stages = levels + 1;
    Grouped g = group_animals(level, stages);
    animals_ = std::move(g.order);
    animal_starts_ = std::move(g.starts);
    stage_starts_.assign(static_cast<size_t>(stages) + 1, 0);
    pairs_.clear();
    for (int32_t st = 0; st < stages; ++st) {
      const size_t first = pairs_.size();
      for (int32_t k = animal_starts_[st]; k < animal_starts_[st + 1]; ++k) {
        const int32_t i = animals_[k];
        const int32_t s = ped_.sire[i], d = ped_.dam[i];
        if (s == 0 || d == 0) continue;
        const bool sire_hub = pairs_of[s] != pairs_of[d] ? pairs_of[s] > pairs_of[d] : s > d;
        pairs_.push_back(sire_hub ? Pair{s, d, i} : Pair{d, s, i});
      }
      std::sort(pairs_.begin() + static_cast<std::ptrdiff_t>(first), pairs_.end(), [](const Pair& a, const Pair& b) {
        return a.hub != b.hub ? a.hub < b.hub : a.mate < b.mate;
      });
      stage_starts_[static_cast<size_t>(st) + 1] = pairs_.size();
    }
  }

  // The groups of a stage: runs of kColumns hubs.
  void relate_stage(size_t stage) {
    groups_.clear();
    const size_t b = stage_starts_[stage], e = stage_starts_[stage + 1];
    size_t hubs = 0;
    for (size_t k = b; k < e; ++k) {
      if (k == b || pairs_[k].hub != pairs_[k - 1].hub) {
        if (hubs % kColumns == 0) groups_.push_back(k);
        ++hubs;
      }
    }
    groups_.push_back(e);
    const size_t count = groups_.size() - 1;
    const unsigned workers = count < 2 ? 1u : static_cast<unsigned>(relaters_.size());
    parallel_for(count, workers, [&](size_t k, unsigned w) {
      std::span<const Pair> group(pairs_.data() + groups_[k], groups_[k + 1] - groups_[k]);
      relaters_[w].relate(anc_, group, r_.F);
    });
  }

  void settle(int32_t i) {
    const int32_t s = ped_.sire[i], d = ped_.dam[i];
    r_.D[i] = sampling_factor(r_.F, s, d);
    anc_[i] = Ancestor{r_.D[i], s, d};
  }

  const Pedigree& ped_;
  const int32_t n_;
  Inbreeding r_;
  std::vector<Ancestor> anc_;
  std::vector<int32_t> animals_;  // by stage
  std::vector<int32_t> animal_starts_;
  std::vector<Pair> pairs_;       // by stage, then hub
  std::vector<size_t> stage_starts_;
  std::vector<size_t> groups_;
  std::vector<Relater> relaters_;
};

}  // namespace

Inbreeding start_inbreeding(int32_t n) {
  Inbreeding r;
  r.F.assign(static_cast<size_t>(std::max(n, 0)) + 1, 0.0);
  r.D.assign(static_cast<size_t>(std::max(n, 0)) + 1, 0.0);
  r.F[0] = -1.0;
  return r;
}

void write_inbreeding_progress(int32_t n, Sink& screen) {
  for (int32_t i = 1000; i <= n; i += 1000) screen.write(FreeLine().num(i).str());
}

double indirect_worker_bytes(int32_t n) { return (static_cast<double>(n) + 1) * 2 * sizeof(int32_t); }

Inbreeding inbreeding_indirect(const Pedigree& ped, Sink& screen, unsigned workers) {
  if (ped.n <= 0) return start_inbreeding(ped.n);
  return IndirectInbreeder(ped, std::max(workers, 1u)).run(screen);
}

Inbreeding INBREED(const Pedigree& ped, Sink& screen, unsigned threads) {
  if (ped.n <= 0) return start_inbreeding(ped.n);
  const unsigned wanted = worker_count(threads);
  // The living parents' workers share the one matrix.
  const LivePlan plan = plan_living(ped, kMaxLivingRows);
  if (plan.fits) return inbreeding_living(ped, plan, screen, wanted);
  const unsigned workers =
      workers_within_budget(wanted, indirect_worker_bytes(ped.n), memory_budget(kInbreedMemoryBudget));
  return inbreeding_indirect(ped, screen, workers);
}

}  // namespace vm::genetics
