// Inbreeding coefficients, and from them the Mendelian sampling factors D,
// family by family (see inbreed_families.cpp): from the matrix of the
// living parents where it is small (see inbreed_live.cpp), otherwise
// indirectly from the relationships of groups of parents to all their mates.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/cpus.h"
#include "common/format.h"
#include "common/huge_pages.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "genetics/genetics.h"
#include "genetics/inbreed_methods.h"
#include "genetics/levels.h"

namespace vm::genetics {
namespace {

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
// Only u needs D, and only of the hubs and their ancestors; the mates'
// pass needs their parents alone. So each hub is related to all its mates
// at once, in the first stage after the F of all its ancestors is known
// (see schedule()). Within a stage no pair depends on another, so the
// groups go to several workers; a pair's value is the same in any group
// and on any worker.
constexpr size_t kColumns = 8;
using Row = std::array<double, kColumns>;

struct Pair {
  int32_t hub, mate, kid;
};

// The passes' list entries: an animal in the high half, its row in the
// group in the low half.
uint32_t animal_of(uint64_t e) { return static_cast<uint32_t>(e >> 32); }

// Sorts list entries on their animals in increasing order: a radix sort
// for long lists, which the passes over a group's ancestors produce by the
// thousand, on as few digits of at most 12 bits as the span of the
// animals needs; `spare` is working storage.
void sort_on_animals(std::vector<uint64_t>& v, std::vector<uint64_t>& spare) {
  if (v.size() < 512) {
    std::sort(v.begin(), v.end());  // an animal has one row: the same order
    return;
  }
  uint32_t low = UINT32_MAX, high = 0;
  for (uint64_t e : v) low = std::min(low, animal_of(e)), high = std::max(high, animal_of(e));
  const int bits = std::bit_width(high - low);
  const int digits = (bits + 11) / 12;
  const int digit_bits = digits == 0 ? 0 : (bits + digits - 1) / digits;
  const uint32_t mask = (uint32_t{1} << digit_bits) - 1;
  spare.resize(v.size());
  std::vector<uint32_t> start(size_t{1} << digit_bits);
  for (int shift = 0; shift < bits; shift += digit_bits) {
    std::fill(start.begin(), start.end(), 0);
    for (uint64_t e : v) ++start[((animal_of(e) - low) >> shift) & mask];
    uint32_t sum = 0;
    for (uint32_t& c : start) sum += std::exchange(c, sum);
    for (uint64_t e : v) spare[start[((animal_of(e) - low) >> shift) & mask]++] = e;
    v.swap(spare);
  }
}

// One worker's storage: per animal its parents and a mark (which passes
// of the group have reached it, and its row of values), side by side, as
// the passes read an animal's parents where they mark it; and the rows and
// lists of a group.
class Relater {
 public:
  explicit Relater(const Pedigree& ped) : marks_(static_cast<size_t>(ped.n) + 1) {
    for (size_t i = 1; i < marks_.size(); ++i) marks_[i].sire = ped.sire[i], marks_[i].dam = ped.dam[i];
  }

  // The pairs of up to kColumns hubs (sorted on hub), F of their kids.
  void relate(const std::vector<double>& D, std::span<const Pair> pairs, std::vector<double>& F) {
    start_group();
    const int32_t lowest = pass_up(D, pairs);
    pass_down(pairs, lowest);
    int column = -1;
    int32_t hub = 0;
    for (const Pair& p : pairs) {
      if (column < 0 || p.hub != hub) hub = p.hub, ++column;
      // A mate below all of the hubs' ancestors is not related to them.
      F[p.kid] = p.mate < lowest ? 0.0 : 0.5 * rows_[row_of(p.mate)][static_cast<size_t>(column)];
    }
  }

 private:
  // stamp: up_ once the hubs' pass has reached the animal, up_ + 1 once the
  // mates' pass has (older groups' stamps are smaller); row: its row in
  // this group, valid with either stamp.
  struct Mark {
    int32_t sire = 0, dam = 0;
    uint32_t stamp = 0;
    int32_t row = 0;
  };
  // The rows of an animal's parents in a pass; row 0 holds zeros and
  // stands for a parent that is unknown or below the pass's lowest animal.
  struct Link {
    int32_t sire = 0, dam = 0;
  };

  void start_group() {
    rows_.assign(1, Row{});
    links_.assign(1, Link{});
    if (up_ > UINT32_MAX - 4) {  // stamps run out: older groups' marks are forgotten
      for (Mark& m : marks_) m.stamp = 0, m.row = 0;
      up_ = 0;
    }
    up_ += 2;
  }
  uint32_t down() const { return up_ + 1; }
  size_t row_of(int32_t x) const { return static_cast<size_t>(marks_[static_cast<size_t>(x)].row); }
  static uint32_t row_of_entry(uint64_t e) { return static_cast<uint32_t>(e); }

  // The row of x, reached by the pass of `stamp` (stamped and listed when
  // it is reached for the first time): 0 when x is unknown or below
  // `lowest`, a new row of zeros unless the group has one for x.
  int32_t follow(int32_t x, uint32_t stamp, int32_t lowest) {
    if (x < lowest || x == 0) return 0;
    Mark& m = marks_[static_cast<size_t>(x)];
    if (m.stamp == stamp) return m.row;
    if (m.stamp < up_) {
      m.row = static_cast<int32_t>(rows_.size());
      rows_.push_back(Row{});
      links_.push_back(Link{});
    }
    m.stamp = stamp;
    entries_.push_back(uint64_t{static_cast<uint32_t>(x)} << 32 | static_cast<uint32_t>(m.row));
    return m.row;
  }

  // Follows the parents of the listed animals, and of those it lists on
  // the way, noting the parents' rows. The list's addresses are known well
  // ahead, so the memory of an animal is asked for early, and that of its
  // parents once it has arrived.
  void walk(uint32_t stamp, int32_t lowest) {
    constexpr size_t kFetchAnimal = 16, kFetchParents = 8;
    for (size_t k = 0; k < entries_.size(); ++k) {
      if (k + kFetchAnimal < entries_.size()) __builtin_prefetch(&marks_[animal_of(entries_[k + kFetchAnimal])]);
      if (k + kFetchParents < entries_.size()) {
        const Mark& p = marks_[animal_of(entries_[k + kFetchParents])];
        __builtin_prefetch(&marks_[static_cast<size_t>(p.sire)]);
        __builtin_prefetch(&marks_[static_cast<size_t>(p.dam)]);
      }
      const Mark& a = marks_[animal_of(entries_[k])];
      const int32_t sire = a.sire, dam = a.dam;
      const int32_t s = follow(sire, stamp, lowest), d = follow(dam, stamp, lowest);
      links_[row_of_entry(entries_[k])] = Link{s, d};
    }
  }

  // w = T'e_h for each hub h (column), then u = D w; returns the smallest
  // animal reached.
  int32_t pass_up(const std::vector<double>& D, std::span<const Pair> pairs) {
    entries_.clear();
    int column = -1;
    int32_t hub = 0;
    for (const Pair& p : pairs) {
      if (column >= 0 && p.hub == hub) continue;
      hub = p.hub;
      ++column;
      rows_[static_cast<size_t>(follow(hub, up_, 1))][static_cast<size_t>(column)] = 1.0;
    }
    walk(up_, 1);
    sort_on_animals(entries_, spare_);
    // Largest first: an animal's w is complete when it is reached, as all
    // its offspring among the ancestors have larger numbers.
    constexpr size_t kFetchD = 8;
    for (size_t k = entries_.size(); k-- > 0;) {
      if (k >= kFetchD) __builtin_prefetch(&D[animal_of(entries_[k - kFetchD])]);
      if (k >= 2 * kFetch) fetch_links(entries_[k - 2 * kFetch]);
      if (k >= kFetch) fetch_rows(entries_[k - kFetch]);
      const uint32_t r = row_of_entry(entries_[k]);
      Row& w = rows_[r];
      for (const int32_t q : {links_[r].sire, links_[r].dam}) {
        if (q == 0) continue;
        Row& up = rows_[static_cast<size_t>(q)];
        for (size_t c = 0; c < kColumns; ++c) up[c] += 0.5 * w[c];
      }
      const double d = D[animal_of(entries_[k])];
      for (size_t c = 0; c < kColumns; ++c) w[c] *= d;
    }
    return entries_.empty() ? 0 : static_cast<int32_t>(animal_of(entries_.front()));
  }

  // v = T u over the mates and their ancestors from `lowest` on, smallest
  // first; v of a parent below `lowest` (or unknown) is 0.
  void pass_down(std::span<const Pair> pairs, int32_t lowest) {
    entries_.clear();
    for (const Pair& p : pairs) follow(p.mate, down(), lowest);
    walk(down(), lowest);
    sort_on_animals(entries_, spare_);
    for (size_t k = 0; k < entries_.size(); ++k) {
      if (k + 2 * kFetch < entries_.size()) fetch_links(entries_[k + 2 * kFetch]);
      if (k + kFetch < entries_.size()) fetch_rows(entries_[k + kFetch]);
      const uint32_t r = row_of_entry(entries_[k]);
      const Row& s = rows_[static_cast<size_t>(links_[r].sire)];
      const Row& d = rows_[static_cast<size_t>(links_[r].dam)];
      Row& v = rows_[r];
      for (size_t c = 0; c < kColumns; ++c) v[c] += 0.5 * (s[c] + d[c]);
    }
  }

  // The passes take the rows in the order of their animals, not of their
  // rows, so a row and its parents' rows are asked for ahead: the links a
  // little further ahead than the rows they name.
  static constexpr size_t kFetch = 8;
  void fetch_links(uint64_t e) const { __builtin_prefetch(&links_[row_of_entry(e)]); }
  void fetch_rows(uint64_t e) const {
    const Link& l = links_[row_of_entry(e)];
    __builtin_prefetch(&rows_[row_of_entry(e)]);
    __builtin_prefetch(&rows_[static_cast<size_t>(l.sire)]);
    __builtin_prefetch(&rows_[static_cast<size_t>(l.dam)]);
  }

  HugeVector<Mark> marks_;
  uint32_t up_ = 0;
  std::vector<Row> rows_;
  std::vector<Link> links_;                  // by row
  std::vector<uint64_t> entries_, spare_;  // a pass's animals: animal << 32 | row
};

class IndirectInbreeder {
 public:
  IndirectInbreeder(const Pedigree& ped, unsigned workers)
      : ped_(ped), n_(ped.n), r_(start_inbreeding(ped.n)) {
    schedule();
    for (unsigned t = 0; t < workers; ++t) relaters_.emplace_back(ped_);
  }

  Inbreeding run(Progress& progress) {
    for (int32_t k = animal_starts_[0]; k < animal_starts_[1]; ++k) settle(animals_[k]);
    advance(progress, animal_starts_[1] - animal_starts_[0]);
    for (size_t stage = 0; stage + 1 < stage_starts_.size(); ++stage) {
      relate_stage(stage);
      for (int32_t k = animal_starts_[stage + 1]; k < animal_starts_[stage + 2]; ++k) settle(animals_[k]);
      advance(progress, animal_starts_[stage + 2] - animal_starts_[stage + 1]);
    }
    return std::move(r_);
  }

 private:
  // Each hub is related to all its mates in one group, at the first stage
  // where D is known for all its ancestors and itself. The mates' pass
  // needs only their parents, never their D, and D(x) needs only the F of
  // x's parents. So, in increasing number (parents first):
  //   known(x): the stage after which F(x) is known (that of the hub of
  //     x's parents; -1 with an unknown parent, F = 0);
  //   ready(x): the stage after which D is known for x and its ancestors,
  //     the latest known() among the ancestors;
  // and the hub h's pairs go to stage ready(h) + 1. D(x) is settled after
  // stage max(known(sire), known(dam)).
  void schedule() {
    const size_t n = static_cast<size_t>(n_);
    // pairs: each parent's number of pairs, then the hubs' only.
    std::vector<int32_t> pairs(n + 1, 0);
    for (int32_t i = 1; i <= n_; ++i)
      if (ped_.sire[i] != 0 && ped_.dam[i] != 0) ++pairs[ped_.sire[i]], ++pairs[ped_.dam[i]];
    struct Times {
      int32_t known = -1, ready = -1;
    };
    std::vector<Times> times(n + 1);
    std::vector<int32_t> hub_of(n + 1, 0), settled_after(n + 1, 0);
    int32_t stages = 0;
    // The parents' entries are read at random: asked for a few animals ahead.
    constexpr int32_t kAhead = 16;
    for (int32_t i = 1; i <= n_; ++i) {
      if (i + kAhead <= n_) {
        const auto s = static_cast<size_t>(ped_.sire[i + kAhead]), d = static_cast<size_t>(ped_.dam[i + kAhead]);
        __builtin_prefetch(&times[s]), __builtin_prefetch(&times[d]);
        __builtin_prefetch(&pairs[s]), __builtin_prefetch(&pairs[d]);
      }
      const int32_t s = ped_.sire[i], d = ped_.dam[i];
      const Times ts = times[s], td = times[d];
      times[i].ready = std::max({ts.ready, td.ready, ts.known, td.known});
      settled_after[i] = std::max(ts.known, td.known) + 1;  // 0: before the first stage
      if (s == 0 || d == 0) continue;
      const bool sire_hub = pairs[s] != pairs[d] ? pairs[s] > pairs[d] : s > d;
      hub_of[i] = sire_hub ? s : d;
      times[i].known = times[hub_of[i]].ready + 1;
      stages = std::max(stages, times[i].known + 1);
    }
    Grouped g = group_animals(settled_after, stages + 1);
    animals_ = std::move(g.order);
    animal_starts_ = std::move(g.starts);
    // The pairs by stage, then hub, then kid: counted per hub, each hub's
    // run placed after the runs of the smaller hubs of its stage.
    std::fill(pairs.begin(), pairs.end(), 0);
    stage_starts_.assign(static_cast<size_t>(stages) + 1, 0);
    for (int32_t i = 1; i <= n_; ++i)
      if (hub_of[i] != 0) ++pairs[hub_of[i]], ++stage_starts_[static_cast<size_t>(times[i].known) + 1];
    for (size_t k = 1; k < stage_starts_.size(); ++k) stage_starts_[k] += stage_starts_[k - 1];
    std::vector<size_t> next(stage_starts_.begin(), stage_starts_.end() - 1);
    std::vector<uint32_t> at(n + 1, 0);  // where the hub's next pair goes
    for (const int32_t h : by_population()) {
      if (pairs[h] == 0) continue;
      size_t& cursor = next[static_cast<size_t>(times[h].ready) + 1];
      at[h] = static_cast<uint32_t>(cursor);
      cursor += static_cast<size_t>(pairs[h]);
    }
    pairs_.resize(stage_starts_.back());
    for (int32_t i = 1; i <= n_; ++i) {
      const int32_t hub = hub_of[i];
      if (hub == 0) continue;
      const int32_t mate = hub == ped_.sire[i] ? ped_.dam[i] : ped_.sire[i];
      pairs_[at[hub]++] = Pair{hub, mate, i};
    }
  }

  // The animals by population, then number: hubs of one population,
  // next to each other in a group, share more of their mates' ancestors.
  std::vector<int32_t> by_population() const {
    int32_t pops = 1;
    for (int32_t i = 1; i <= n_; ++i) pops = std::max(pops, ped_.pop[i] + 1);
    std::vector<int32_t> key(ped_.pop.begin(), ped_.pop.begin() + n_ + 1);
    for (int32_t& k : key) k = std::clamp(k, 0, pops - 1);
    return group_animals(key, pops).order;
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
      relaters_[w].relate(r_.D, group, r_.F);
    });
  }

  void settle(int32_t i) {
    r_.D[i] = sampling_factor(r_.F, ped_.sire[i], ped_.dam[i]);
  }

  const Pedigree& ped_;
  const int32_t n_;
  Inbreeding r_;
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

double indirect_worker_bytes(int32_t n) { return (static_cast<double>(n) + 1) * 4 * sizeof(int32_t); }

Inbreeding inbreeding_indirect(const Pedigree& ped, Progress& progress, unsigned workers) {
  if (ped.n <= 0) return start_inbreeding(ped.n);
  return IndirectInbreeder(ped, std::max(workers, 1u)).run(progress);
}

Inbreeding INBREED(const Pedigree& ped, Progress& progress, unsigned threads) {
  if (ped.n <= 0) return start_inbreeding(ped.n);
  return inbreeding_by_families(ped, progress, worker_count(threads));
}

}  // namespace vm::genetics
