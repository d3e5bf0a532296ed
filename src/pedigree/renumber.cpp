#include "pedigree/renumber.h"

#include <algorithm>

#include "common/format.h"
#include "pedigree/heapsort.h"

namespace vm::pedigree {
namespace {

// values[w] = old[old_of_new[w]]; parents are renumbered as well when
// `new_of_old` is given.
std::vector<int32_t> in_new_order(const std::vector<int32_t>& old, const std::vector<int32_t>& old_of_new,
                                  const std::vector<int32_t>* new_of_old) {
  std::vector<int32_t> values(old_of_new.size(), 0);
  // The old numbers come at random: their entries are asked for ahead,
  // and for parents the entries of their new numbers once those arrive.
  constexpr size_t kAhead = 16, kParentsAhead = 8;
  const size_t size = old_of_new.size();
  for (size_t w = 1; w < size; ++w) {
    if (w + kAhead < size) __builtin_prefetch(&old[static_cast<size_t>(old_of_new[w + kAhead])]);
    if (new_of_old != nullptr && w + kParentsAhead < size)
      __builtin_prefetch(&(*new_of_old)[static_cast<size_t>(old[static_cast<size_t>(old_of_new[w + kParentsAhead])])]);
    const int32_t v = old[static_cast<size_t>(old_of_new[w])];
    values[w] = new_of_old != nullptr && v != 0 ? (*new_of_old)[static_cast<size_t>(v)] : v;
  }
  return values;
}

}  // namespace

void renumber(Pedigree& ped, const std::vector<int32_t>& gen, Progress& progress) {
  const int32_t n = ped.n;
  const size_t size = static_cast<size_t>(n) + 1;
  progress.stage("sorting", heap_steps(n));

  std::vector<OrigRow> orig(static_cast<size_t>(n));
  for (int32_t a = 1; a <= n; ++a) orig[static_cast<size_t>(a - 1)] = OrigRow{a, gen[a]};
  heap_sort_on_generation(orig, progress);

  std::vector<int32_t> old_of_new(size, 0), new_of_old(size, 0);
  for (int32_t w = 1; w <= n; ++w) {
    const int32_t a = orig[static_cast<size_t>(w - 1)].animal;
    old_of_new[w] = a;
    new_of_old[a] = w;
  }
  std::vector<OrigRow>().swap(orig);

  ped.sire = in_new_order(ped.sire, old_of_new, &new_of_old);
  ped.dam = in_new_order(ped.dam, old_of_new, &new_of_old);
  progress.stage("links", 0);
  ped.period = in_new_order(ped.period, old_of_new, nullptr);
  ped.pop = in_new_order(ped.pop, old_of_new, nullptr);
  ped.loaded_as = std::move(old_of_new);
}

std::vector<int32_t> new_of_loaded(const Pedigree& ped) {
  std::vector<int32_t> new_of(static_cast<size_t>(std::max(ped.n, 0)) + 1, 0);
  for (int32_t w = 1; w <= ped.n; ++w) new_of[static_cast<size_t>(ped.loaded_as[w])] = w;
  return new_of;
}

}  // namespace vm::pedigree
