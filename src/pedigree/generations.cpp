#include "pedigree/generations.h"

#include <algorithm>

#include "common/format.h"
#include "common/progress.h"
#include "common/stop.h"

namespace vm::pedigree {
namespace {

void move_to(Generations& g, int32_t a, int32_t to) {
  if (g.gen[a] != 0) --g.angen[g.gen[a]];
  g.gen[a] = to;
  if (static_cast<size_t>(to) >= g.angen.size()) g.angen.resize(static_cast<size_t>(to) + 1, 0);
  ++g.angen[to];
}

// Writes the listing line of one animal: code, sire code, dam code, generation.
void list_animal(const Pedigree& ped, const Generations& g, int32_t a, const CodeOf& code_of, Sink& log) {
  auto parent = [&](int32_t p) { return p == 0 ? std::string_view("0") : code_of(p); };
  log.write(FreeLine()
                .text(code_of(a))
                .text(" ")
                .text(parent(ped.sire[a]))
                .text(" ")
                .text(parent(ped.dam[a]))
                .text(" ")
                .num(g.gen[a])
                .str());
}

}  // namespace

Generations generations_by_moves(const Pedigree& ped) {
  const int32_t n = ped.n;
  // Offspring of every animal, sire and dam links alike.
  std::vector<int32_t> first(static_cast<size_t>(n) + 2, 0), child;
  for (int32_t a = 1; a <= n; ++a) {
    for (int32_t p : {ped.sire[a], ped.dam[a]})
      if (p > 0) ++first[p + 1];
  }
  for (int32_t a = 1; a <= n + 1; ++a) first[a] += first[a - 1];
  child.resize(static_cast<size_t>(first[n + 1]));
  {
    std::vector<int32_t> next(first.begin(), first.end() - 1);
    for (int32_t a = 1; a <= n; ++a) {
      for (int32_t p : {ped.sire[a], ped.dam[a]})
        if (p > 0) child[next[p]++] = a;
    }
  }

  Generations g;
  g.gen.assign(static_cast<size_t>(n) + 1, 0);
  g.angen.assign(2, 0);
  // at[v]: the animals moved into generation v, which sweep v reads.
  std::vector<std::vector<int32_t>> at(2);
  for (int32_t a = 1; a <= n; ++a) {
    if (ped.sire[a] == 0 && ped.dam[a] == 0) {
      g.gen[a] = 1;
      ++g.angen[1];
      at[1].push_back(a);
    }
  }
  std::vector<int32_t> candidates;
  int32_t V = 1;
  for (;;) {
    // A move only ever enters generation V + 1, so the animals with a
    // parent in V during the sweep are the offspring of those in V at its
    // start; taken in increasing order they meet the same generations as
    // in the full sweep.
    candidates.clear();
    for (int32_t x : at[V]) {
      if (g.gen[x] != V) continue;
      candidates.insert(candidates.end(), child.begin() + first[x], child.begin() + first[x + 1]);
    }
    std::vector<int32_t>().swap(at[V]);
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    if (at.size() < static_cast<size_t>(V) + 2) at.resize(static_cast<size_t>(V) + 2);
    int64_t changes = 0;
    int32_t lowest_emptied = 0;
    for (int32_t a : candidates) {
      const int32_t s = ped.sire[a];
      const int32_t d = ped.dam[a];
      if ((s > 0 && g.gen[s] == V) || (d > 0 && g.gen[d] == V)) {
        const int32_t from = g.gen[a];
        move_to(g, a, V + 1);
        at[V + 1].push_back(a);
        ++changes;
        if (from != 0 && g.angen[from] == 0 && (lowest_emptied == 0 || from < lowest_emptied)) lowest_emptied = from;
      }
    }
    if (changes == 0) break;
    // Generations up to V gain no animals after sweep V - 1 and were all
    // filled at the last check, so the lowest empty one is the lowest that
    // this sweep emptied.
    if (lowest_emptied != 0 && lowest_emptied <= V) {
      g.V = V;
      g.empty_generation = lowest_emptied;
      return g;
    }
    ++V;
  }
  g.V = V;
  g.angen.resize(static_cast<size_t>(V) + 1, 0);
  return g;
}

Generations assign_generation_numbers(const Pedigree& ped) {
  const int32_t n = ped.n;
  constexpr int32_t kOnPath = -1;
  std::vector<int32_t> gen(static_cast<size_t>(n) + 1, 0);
  std::vector<int32_t> stack;
  constexpr int32_t kAhead = 16;  // the parents' entries, read at random
  for (int32_t start = 1; start <= n; ++start) {
    if (start + kAhead <= n) {
      // Only parents that the walk below would read: a number above 0.
      for (const int32_t p : {ped.sire[start + kAhead], ped.dam[start + kAhead]})
        if (p > 0) __builtin_prefetch(gen.data() + p);
    }
    if (gen[start] != 0) continue;
    gen[start] = kOnPath;
    stack.push_back(start);
    while (!stack.empty()) {
      const int32_t x = stack.back();
      int32_t pending = 0;
      for (int32_t p : {ped.sire[x], ped.dam[x]}) {
        if (p <= 0) continue;
        if (gen[p] == kOnPath) return generations_by_moves(ped);  // a loop of descent
        if (gen[p] == 0) {
          pending = p;
          break;
        }
      }
      if (pending != 0) {
        gen[pending] = kOnPath;
        stack.push_back(pending);
        continue;
      }
      const int32_t s = ped.sire[x] > 0 ? gen[ped.sire[x]] : 0;
      const int32_t d = ped.dam[x] > 0 ? gen[ped.dam[x]] : 0;
      gen[x] = std::max(s, d) + 1;
      stack.pop_back();
    }
  }
  Generations g;
  g.V = 1;
  for (int32_t a = 1; a <= n; ++a) g.V = std::max(g.V, gen[a]);
  g.angen.assign(static_cast<size_t>(g.V) + 1, 0);
  for (int32_t a = 1; a <= n; ++a) ++g.angen[gen[a]];
  g.gen = std::move(gen);
  return g;
}

std::vector<Loop> find_loops(const Pedigree& ped, size_t limit) {
  enum : uint8_t { kNew, kOnPath, kDone };
  std::vector<uint8_t> state(static_cast<size_t>(ped.n) + 1, kNew);
  struct Step {
    int32_t animal;
    bool reached_as_sire;
    int next_parent;  // 0: the sire is next, 1: the dam, 2: both done
  };
  std::vector<Step> path;
  std::vector<int32_t> where(static_cast<size_t>(ped.n) + 1, -1);  // position on the path
  std::vector<Loop> loops;
  for (int32_t start = 1; start <= ped.n && loops.size() < limit; ++start) {
    if (state[start] != kNew) continue;
    state[start] = kOnPath;
    where[start] = 0;
    path.push_back({start, false, 0});
    while (!path.empty() && loops.size() < limit) {
      Step& step = path.back();
      if (step.next_parent == 2) {
        state[step.animal] = kDone;
        where[step.animal] = -1;
        path.pop_back();
        continue;
      }
      const bool as_sire = step.next_parent == 0;
      ++step.next_parent;
      const int32_t p = as_sire ? ped.sire[step.animal] : ped.dam[step.animal];
      if (p <= 0 || state[p] == kDone) continue;
      if (state[p] == kOnPath) {
        Loop loop;
        for (size_t k = static_cast<size_t>(where[p]); k < path.size(); ++k) {
          loop.animals.push_back(path[k].animal);
          if (k > static_cast<size_t>(where[p])) loop.sire.push_back(path[k].reached_as_sire);
        }
        loop.sire.push_back(as_sire);
        loops.push_back(std::move(loop));
        continue;
      }
      state[p] = kOnPath;
      where[p] = static_cast<int32_t>(path.size());
      path.push_back({p, as_sire, 0});
    }
  }
  return loops;
}

std::string loop_text(const Loop& loop, const CodeOf& code_of, size_t most) {
  std::string text(code_of(loop.animals[0]));
  const size_t n = loop.animals.size();
  for (size_t k = 0; k < n; ++k) {
    if (k + 1 >= most && k + 1 < n) {
      text += " -> ...";
      k = n - 1;
    }
    text += " -> ";
    text += code_of(loop.animals[(k + 1) % n]);
    text += loop.sire[k] ? " (sire)" : " (dam)";
  }
  return text;
}

namespace {

constexpr size_t kLoopsListed = 10000;
constexpr size_t kLoopAnimalsShown = 10;

// The loops named, before the run stops: one on the screen and all those
// found in the log, or one in a note.
void name_loops(const Pedigree& ped, const CodeOf& code_of, const Report& report, LoopReport how,
                const LoopNote& note) {
  const std::vector<Loop> loops = find_loops(ped, kLoopsListed);
  if (loops.empty()) return;
  std::vector<bool> on_loop(static_cast<size_t>(ped.n) + 1, false);
  int64_t involved = 0;
  for (const Loop& loop : loops)
    for (int32_t a : loop.animals)
      if (!on_loop[a]) on_loop[a] = true, ++involved;
  const std::string first = loop_text(loops[0], code_of, kLoopAnimalsShown);
  const std::string count = std::to_string(loops.size()) + (loops.size() == 1 ? " loop" : " loops") +
                            (loops.size() == kLoopsListed ? " or more" : "") + " through " + std::to_string(involved) +
                            (involved == 1 ? " animal" : " animals");
  if (how == LoopReport::kNote) {
    if (note) note("the pedigree has a loop (an animal among its own ancestors): " + first + "; " + count + " in all");
    return;
  }
  report.screen.write(FreeLine().text(" The pedigree has a loop (an animal among its own ancestors): ").text(first).str());
  report.screen.write(FreeLine().text(" " + count + "; the log lists every loop found").str());
  report.log.write(FreeLine().text(" Loops in the pedigree (" + count + "):").str());
  for (const Loop& loop : loops) report.log.write(FreeLine().text(" Loop: ").text(loop_text(loop, code_of, SIZE_MAX)).str());
}

}  // namespace

std::vector<int32_t> assign_generations(const Pedigree& ped, const CodeOf& code_of, const Report& report,
                                        LoopReport loops, const LoopNote& note) {
  Sink& screen = report.screen;
  Sink& log = report.log;
  report.progress.stage("generations", 0);
  Generations g = assign_generation_numbers(ped);

  if (g.empty_generation != 0) {
    screen.write(FreeLine().str());
    screen.write(FreeLine().text(" ERROR: Generation without animals").str());
    log.write(FreeLine().text(" ERROR: Generation without animals").str());
    log.write(FreeLine().text(" Possibly a non-unique number exists in the pedigree. Check the following animals:").str());
    for (int32_t a = 1; a <= ped.n; ++a) {
      if (g.gen[a] > g.empty_generation) list_animal(ped, g, a, code_of, log);
    }
    name_loops(ped, code_of, report, loops, note);
    throw Stop{kTerminated};
  }

  log.write(FreeLine().text(" Number of generations in pedigree is ").num(g.V).str());
  log.write(FreeLine().text(" Number of animals per generation: ").str());
  for (int32_t v = 1; v <= g.V; ++v) {
    log.write(FreeLine().text(" Generation ").num(v).text(": ").num(g.angen[v]).text(" animals").str());
  }

  // Animals of a loop that no founder feeds (and their descendants) would
  // break the parents-first order that the computations rely on.
  if (std::find(g.gen.begin() + 1, g.gen.end(), 0) != g.gen.end()) {
    screen.write(FreeLine().str());
    screen.write(FreeLine().text(" ERROR: Loop in pedigree: animals without generation").str());
    log.write(FreeLine().text(" ERROR: Loop in pedigree: animals without generation").str());
    log.write(FreeLine().text(" Possibly a non-unique number exists in the pedigree. Check the following animals:").str());
    for (int32_t a = 1; a <= ped.n; ++a) {
      if (g.gen[a] == 0) list_animal(ped, g, a, code_of, log);
    }
    name_loops(ped, code_of, report, loops, note);
    throw Stop{kTerminated};
  }
  return std::move(g.gen);
}

}  // namespace vm::pedigree
