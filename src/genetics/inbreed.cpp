// Inbreeding coefficients, and from them the Mendelian sampling factors D,
// family by family (see inbreed_families.cpp): from the matrix of the
// living parents where it is small (see inbreed_live.cpp), otherwise
// indirectly from the relationships of groups of parents to all their mates.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <memory>
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
// the parent with more offspring; for kColumns hubs h at once (a chunk):
//   w = T' e_h over the hubs and their ancestors, largest first,
//   u = D w,
//   v = T u over the mates and their ancestors, smallest first,
// and a(h, m) = v(m) for every mate m of hub h. v is 0 below the smallest
// ancestor of the hubs, so the mates' ancestors are not followed below it.
// The vectors hold kColumns values per animal.
//
// Finding the ancestors (the walks: random reads all over the pedigree)
// costs more than the sums, and the mates of hubs of one population share
// many ancestors. So a group of up to kChunks chunks walks once over the
// ancestors of all its hubs and once over those of all their mates, and
// notes for each animal which chunks' hubs or mates reach it; each chunk
// then does its sums over the animals it reaches alone, in the same order
// as in a group of its own. An animal that its chunk's walk would not
// reach adds exact zeros to the sums, so a pair's value is the same in
// any group and on any worker.
//
// Only u needs D, and only of the hubs and their ancestors; the mates'
// pass needs their parents alone. So each hub is related to all its mates
// at once, in the first stage after the F of all its ancestors is known
// (see schedule()). Within a stage no pair depends on another, so the
// groups go to several workers.
constexpr size_t kColumns = 8;
constexpr size_t kChunks = 16;  // the bits of a Reach
static_assert(kChunks * kColumns == kIndirectGroupHubs);
using Row = std::array<double, kColumns>;
using Reach = uint16_t;  // bit c: the walk of chunk c reaches the animal

struct Mating {
  int32_t hub, mate, kid;
};

// A walk's list entries: an animal in the high half, its node in the low
// half.
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

// One worker's storage: per animal its parents and a mark (which walks of
// the group have reached it, and its node: its number in the order the
// walks reached it), side by side, as the walks read an animal's parents
// where they mark it; and what a group's walks found.
class Relater {
 public:
  explicit Relater(const Pedigree& ped) : marks_(static_cast<size_t>(ped.n) + 1) {
    for (size_t i = 1; i < marks_.size(); ++i) marks_[i].sire = ped.sire[i], marks_[i].dam = ped.dam[i];
  }

  // The pairs of up to kChunks x kColumns hubs (sorted on hub), F of their
  // kids.
  void relate(const std::vector<double>& D, std::span<const Mating> pairs, std::vector<double>& F) {
    start_group();
    find_hubs(pairs);
    const std::vector<Hub>& hubs = hubs_;
    walk_up(hubs);
    const int32_t lowest = up_.animal.size() > 1 ? static_cast<int32_t>(up_.animal[1]) : 0;
    walk_down(pairs, hubs, lowest);
    for (size_t c = 0; c * kColumns < hubs.size(); ++c) {
      const auto chunk = std::span<const Hub>(hubs).subspan(c * kColumns, std::min(kColumns, hubs.size() - c * kColumns));
      sum_up(D, chunk, c);
      sum_down(c);
      for (size_t h = 0; h < chunk.size(); ++h)
        for (size_t k = chunk[h].begin; k < chunk[h].end; ++k) {
          const Mating& p = pairs[k];
          // A mate below all of the hubs' ancestors is not related to them.
          F[p.kid] = p.mate < lowest ? 0.0 : 0.5 * down_.rows[down_.at[down_place_[node_of(p.mate)]]][h];
        }
    }
  }

 private:
  // stamp: up_stamp_ once the hubs' walk has reached the animal,
  // up_stamp_ + 1 once the mates' walk has (older groups' stamps are
  // smaller); node: valid with either stamp.
  struct Mark {
    int32_t sire = 0, dam = 0;
    uint32_t stamp = 0;
    uint32_t node = 0;
  };
  // An animal's parents: their nodes while a walk goes on, then their
  // places in its sorted list. Node and place 0 stand for a parent that is
  // unknown or below the walk's lowest animal (place 0's row: zeros).
  struct Link {
    uint32_t sire = 0, dam = 0;
  };
  // What one walk found, by place (entry 0: none): the animals in
  // increasing order, their parents' places, the chunks that reach them
  // and their rows in the chunk being summed; the places each chunk
  // reaches, in order; and the rows of a chunk's sums, in the order of its
  // list.
  struct Walked {
    std::vector<uint32_t> animal;
    std::vector<Link> links;
    std::vector<Reach> reach;
    std::vector<uint32_t> at;  // by place: its row in the chunk being summed
    std::vector<uint32_t> of_chunk[kChunks];
    std::vector<Row> rows;
  };
  // A hub of the group and its pairs, pairs[begin, end).
  struct Hub {
    int32_t animal;
    size_t begin, end;
  };

  void find_hubs(std::span<const Mating> pairs) {
    hubs_.clear();
    for (size_t k = 0; k < pairs.size(); ++k) {
      if (hubs_.empty() || pairs[k].hub != hubs_.back().animal) hubs_.push_back({pairs[k].hub, k, k});
      hubs_.back().end = k + 1;
    }
  }

  void start_group() {
    node_links_.assign(1, Link{});
    node_reach_.assign(1, 0);
    if (up_stamp_ > UINT32_MAX - 4) {  // stamps run out: older groups' marks are forgotten
      for (Mark& m : marks_) m.stamp = 0, m.node = 0;
      up_stamp_ = 0;
    }
    up_stamp_ += 2;
  }
  uint32_t down_stamp() const { return up_stamp_ + 1; }
  uint32_t node_of(int32_t x) const { return marks_[static_cast<size_t>(x)].node; }
  static uint32_t node_of_entry(uint64_t e) { return static_cast<uint32_t>(e); }

  // The node of x, reached by the walk of `stamp` (stamped and listed when
  // it is reached for the first time): 0 when x is unknown or below
  // `lowest`, a new node unless the group has one for x.
  uint32_t follow(int32_t x, uint32_t stamp, int32_t lowest) {
    if (x < lowest || x == 0) return 0;
    Mark& m = marks_[static_cast<size_t>(x)];
    if (m.stamp == stamp) return m.node;
    if (m.stamp < up_stamp_) {
      m.node = static_cast<uint32_t>(node_links_.size());
      node_links_.push_back(Link{});
      node_reach_.push_back(0);
    }
    m.stamp = stamp;
    entries_.push_back(uint64_t{static_cast<uint32_t>(x)} << 32 | m.node);
    return m.node;
  }

  // Follows the parents of the listed animals, and of those it lists on
  // the way, noting the parents' nodes; then puts what it found in order
  // of the animals into `walked`, with the place of each node in `place`,
  // and spreads the reach of each listed animal to its ancestors. The
  // list's addresses are known well ahead, so the memory of an animal is
  // asked for early, and that of its parents once it has arrived. An
  // animal of both walks gets the same parents in each: its ancestors are
  // all at or above the lowest.
  void walk(uint32_t stamp, int32_t lowest, Walked& walked, std::vector<uint32_t>& place) {
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
      const uint32_t s = follow(sire, stamp, lowest), d = follow(dam, stamp, lowest);
      node_links_[node_of_entry(entries_[k])] = Link{s, d};
    }
    sort_on_animals(entries_, spare_);
    place.assign(node_links_.size(), 0);
    for (size_t k = 0; k < entries_.size(); ++k) place[node_of_entry(entries_[k])] = static_cast<uint32_t>(k + 1);
    const size_t places = entries_.size() + 1;
    walked.animal.resize(places), walked.links.resize(places), walked.reach.resize(places);
    walked.animal[0] = 0, walked.links[0] = Link{}, walked.reach[0] = 0;
    for (size_t k = 0; k < entries_.size(); ++k) {
      const uint32_t node = node_of_entry(entries_[k]);
      walked.animal[k + 1] = animal_of(entries_[k]);
      walked.links[k + 1] = Link{place[node_links_[node].sire], place[node_links_[node].dam]};
      walked.reach[k + 1] = std::exchange(node_reach_[node], 0);
    }
    spread(walked);
    walked.at.assign(places, 0);
  }

  // Each place's reach handed to its parents, largest first: a place's
  // reach is complete when it is taken, as all its offspring in the walk
  // have larger numbers. Then the places of each chunk, in order.
  static void spread(Walked& walked) {
    for (size_t k = walked.animal.size(); k-- > 1;) {
      walked.reach[walked.links[k].sire] |= walked.reach[k];
      walked.reach[walked.links[k].dam] |= walked.reach[k];
    }
    for (auto& chunk : walked.of_chunk) chunk.clear();
    for (size_t k = 1; k < walked.animal.size(); ++k)
      for (unsigned bits = walked.reach[k]; bits != 0; bits &= bits - 1)
        walked.of_chunk[std::countr_zero(bits)].push_back(static_cast<uint32_t>(k));
  }

  void walk_up(const std::vector<Hub>& hubs) {
    entries_.clear();
    for (size_t h = 0; h < hubs.size(); ++h)
      node_reach_[follow(hubs[h].animal, up_stamp_, 1)] |= Reach(1u << (h / kColumns));
    walk(up_stamp_, 1, up_, up_place_);
  }

  void walk_down(std::span<const Mating> pairs, const std::vector<Hub>& hubs, int32_t lowest) {
    entries_.clear();
    for (size_t h = 0; h < hubs.size(); ++h)
      for (size_t k = hubs[h].begin; k < hubs[h].end; ++k)
        node_reach_[follow(pairs[k].mate, down_stamp(), lowest)] |= Reach(1u << (h / kColumns));
    walk(down_stamp(), lowest, down_, down_place_);
    up_place_.resize(down_place_.size(), 0);  // nodes the hubs' walk did not reach
    down_up_.resize(down_.animal.size());
    down_up_[0] = 0;
    for (size_t k = 0; k < entries_.size(); ++k) down_up_[k + 1] = up_place_[node_of_entry(entries_[k])];
  }

  // w = T'e_h for each hub h of chunk c (column), then u = D w, over the
  // ancestors of the chunk's hubs.
  void sum_up(const std::vector<double>& D, std::span<const Hub> chunk, size_t c) {
    const std::vector<uint32_t>& list = up_.of_chunk[c];
    std::vector<Row>& rows = rows_for(up_, list);
    for (size_t k = 0; k < list.size(); ++k) up_.at[list[k]] = static_cast<uint32_t>(k + 1), rows[k + 1] = Row{};
    for (size_t h = 0; h < chunk.size(); ++h) rows[up_.at[up_place_[node_of(chunk[h].animal)]]][h] = 1.0;
    // Largest first: an animal's w is complete when it is reached, as all
    // its offspring among the ancestors have larger numbers.
    constexpr size_t kFetchD = 8;
    for (size_t k = list.size(); k-- > 0;) {
      if (k >= kFetchD) __builtin_prefetch(&D[up_.animal[list[k - kFetchD]]]);
      if (k >= kFetch) fetch_parents(up_, list[k - kFetch]);
      const uint32_t i = list[k];
      Row& w = rows[k + 1];
      for (const uint32_t q : {up_.links[i].sire, up_.links[i].dam}) {
        if (q == 0) continue;
        Row& up = rows[up_.at[q]];
        for (size_t j = 0; j < kColumns; ++j) up[j] += 0.5 * w[j];
      }
      const double d = D[up_.animal[i]];
      for (size_t j = 0; j < kColumns; ++j) w[j] *= d;
    }
  }

  // v = T u over the mates of chunk c and their ancestors, smallest first;
  // v of a parent below the lowest (or unknown) is 0, and so is u of an
  // animal that is no ancestor of the chunk's hubs. A parent comes before
  // its offspring, so its row's position is known when they need it.
  void sum_down(size_t c) {
    const std::vector<uint32_t>& list = down_.of_chunk[c];
    std::vector<Row>& rows = rows_for(down_, list);
    const Reach bit = Reach(1u << c);
    static constexpr Row kZeros{};
    for (size_t k = 0; k < list.size(); ++k) {
      if (k + kFetch < list.size()) fetch_parents(down_, list[k + kFetch]);
      const uint32_t i = list[k], u = down_up_[i];
      const Row& from = u != 0 && (up_.reach[u] & bit) != 0 ? up_.rows[up_.at[u]] : kZeros;
      const Row& s = rows[down_.at[down_.links[i].sire]];
      const Row& d = rows[down_.at[down_.links[i].dam]];
      down_.at[i] = static_cast<uint32_t>(k + 1);
      Row& v = rows[k + 1];
      for (size_t j = 0; j < kColumns; ++j) v[j] = from[j] + 0.5 * (s[j] + d[j]);
    }
  }

  // A chunk's rows lie in the order of its list (row 0: the zeros), so
  // that they take no more cache than the chunk needs: with many hubs of
  // few mates each (the default shape), a chunk's rows stay in the core's
  // own cache where rows for every place of the walk would not.
  static std::vector<Row>& rows_for(Walked& walked, const std::vector<uint32_t>& list) {
    if (walked.rows.size() < list.size() + 1) walked.rows.resize(list.size() + 1);
    walked.rows[0] = Row{};
    return walked.rows;
  }

  // The sums reach the parents' rows at random: asked for ahead (a
  // parent's position may still be that of an earlier chunk: then the
  // request is only wasted).
  static constexpr size_t kFetch = 8;
  static void fetch_parents(const Walked& walked, uint32_t k) {
    __builtin_prefetch(&walked.rows[walked.at[walked.links[k].sire]]);
    __builtin_prefetch(&walked.rows[walked.at[walked.links[k].dam]]);
  }

  HugeVector<Mark> marks_;
  uint32_t up_stamp_ = 0;
  std::vector<Link> node_links_;  // by node, while a walk goes on
  std::vector<Reach> node_reach_;  // by node, until the walk's places take it
  std::vector<uint64_t> entries_, spare_;  // a walk's animals: animal << 32 | node
  std::vector<Hub> hubs_;  // of the group
  Walked up_, down_;
  std::vector<uint32_t> up_place_, down_place_;  // by node: its place in each walk (0: none)
  std::vector<uint32_t> down_up_;                // by place of the mates' walk: its place in the hubs' (0: none)
};

}  // namespace

// The indirect computation of one pedigree (see inbreed_methods.h).
class IndirectWork {
 public:
  IndirectWork(const Pedigree& ped, unsigned workers, size_t group_chunks)
      : ped_(ped), n_(ped.n), group_chunks_(std::clamp<size_t>(group_chunks, 1, kChunks)), r_(start_inbreeding(ped.n)),
        relaters_(workers) {
    schedule();
  }

  Inbreeding run(Progress& progress) {
    // Each worker's storage, made on the worker's own CPU (only now: a plan
    // made ahead may still be dropped).
    parallel_for(relaters_.size(), static_cast<unsigned>(relaters_.size()),
                 [&](size_t k, unsigned) { relaters_[k] = std::make_unique<Relater>(ped_); });
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
      pairs_[at[hub]++] = Mating{hub, mate, i};
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

  // The groups of a stage: runs of up to kChunks x kColumns hubs, fewer
  // where the stage has too few hubs to give each worker several groups.
  void relate_stage(size_t stage) {
    groups_.clear();
    const size_t b = stage_starts_[stage], e = stage_starts_[stage + 1];
    size_t hubs = 0;
    for (size_t k = b; k < e; ++k) hubs += k == b || pairs_[k].hub != pairs_[k - 1].hub;
    const size_t chunks = (hubs + kColumns - 1) / kColumns;
    const size_t per_group = kColumns * std::clamp<size_t>(chunks / (4 * relaters_.size()), 1, group_chunks_);
    hubs = 0;
    for (size_t k = b; k < e; ++k) {
      if (k == b || pairs_[k].hub != pairs_[k - 1].hub) {
        if (hubs % per_group == 0) groups_.push_back(k);
        ++hubs;
      }
    }
    groups_.push_back(e);
    const size_t count = groups_.size() - 1;
    const unsigned workers = count < 2 ? 1u : static_cast<unsigned>(relaters_.size());
    parallel_for(count, workers, [&](size_t k, unsigned w) {
      std::span<const Mating> group(pairs_.data() + groups_[k], groups_[k + 1] - groups_[k]);
      relaters_[w]->relate(r_.D, group, r_.F);
    });
  }

  void settle(int32_t i) {
    r_.D[i] = sampling_factor(r_.F, ped_.sire[i], ped_.dam[i]);
  }

  const Pedigree& ped_;
  const int32_t n_;
  const size_t group_chunks_;
  Inbreeding r_;
  std::vector<int32_t> animals_;  // by stage
  std::vector<int32_t> animal_starts_;
  std::vector<Mating> pairs_;       // by stage, then hub
  std::vector<size_t> stage_starts_;
  std::vector<size_t> groups_;
  std::vector<std::unique_ptr<Relater>> relaters_;
};

Inbreeding start_inbreeding(int32_t n) {
  Inbreeding r;
  r.F.assign(static_cast<size_t>(std::max(n, 0)) + 1, 0.0);
  r.D.assign(static_cast<size_t>(std::max(n, 0)) + 1, 0.0);
  r.F[0] = -1.0;
  return r;
}

double indirect_worker_bytes(int32_t n) { return (static_cast<double>(n) + 1) * 4 * sizeof(int32_t); }

unsigned indirect_workers(const Pedigree& ped, unsigned workers) {
  return workers_within_budget(workers, indirect_worker_bytes(ped.n), memory_budget(kInbreedMemoryBudget));
}

void DropIndirectWork::operator()(IndirectWork* work) const { delete work; }

PreparedIndirect prepare_indirect(const Pedigree& ped, unsigned workers, size_t group_hubs) {
  if (ped.n <= 0) return nullptr;
  return PreparedIndirect(new IndirectWork(ped, std::max(workers, 1u), (group_hubs + kColumns - 1) / kColumns));
}

Inbreeding run_indirect(PreparedIndirect work, Progress& progress) {
  if (work == nullptr) return start_inbreeding(0);
  return work->run(progress);
}

Inbreeding inbreeding_indirect(const Pedigree& ped, Progress& progress, unsigned workers, size_t group_hubs) {
  if (ped.n <= 0) return start_inbreeding(ped.n);
  return run_indirect(prepare_indirect(ped, workers, group_hubs), progress);
}

Inbreeding INBREED(const Pedigree& ped, Progress& progress, unsigned threads) {
  if (ped.n <= 0) return start_inbreeding(ped.n);
  return inbreeding_by_families(ped, progress, worker_count(threads));
}

}  // namespace vm::genetics
