#include "pedigree/renumber.h"

#include "common/format.h"
#include "pedigree/heapsort.h"

namespace vm::pedigree {

Renumbered renumber(const LoadedPedigree& ped, const std::vector<int32_t>& gen, const std::vector<int32_t>& period,
                    const std::vector<int32_t>& pop, Sink& screen) {
  const int32_t n = ped.n;
  const size_t size = static_cast<size_t>(n) + 1;
  screen.write(FreeLine().text(" Sorting pedigree on generation number ...").str());

  std::vector<OrigRow> orig(static_cast<size_t>(n));
  for (int32_t a = 1; a <= n; ++a) orig[static_cast<size_t>(a - 1)] = OrigRow{a, gen[a]};
  heap_sort_on_generation(orig);

  Renumbered r;
  r.old_of_new.assign(size, 0);
  r.new_of_old.assign(size, 0);
  for (int32_t w = 1; w <= n; ++w) {
    const int32_t a = orig[static_cast<size_t>(w - 1)].animal;
    r.old_of_new[w] = a;
    r.new_of_old[a] = w;
  }
  std::vector<OrigRow>().swap(orig);

  r.sire.assign(size, 0);
  r.dam.assign(size, 0);
  for (int32_t w = 1; w <= n; ++w) {
    const int32_t a = r.old_of_new[w];
    if (ped.sire[a] != 0) r.sire[w] = r.new_of_old[ped.sire[a]];
    if (ped.dam[a] != 0) r.dam[w] = r.new_of_old[ped.dam[a]];
  }

  screen.write(FreeLine().text(" Updating links ...").str());
  r.period.assign(size, 0);
  r.pop.assign(size, 0);
  for (int32_t a = 1; a <= n; ++a) {
    r.period[r.new_of_old[a]] = period[a];
    r.pop[r.new_of_old[a]] = pop[a];
  }
  return r;
}

}  // namespace vm::pedigree
