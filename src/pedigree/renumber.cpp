#include "pedigree/renumber.h"

#include <algorithm>

#include "common/format.h"
#include "common/parallel.h"
#include "pedigree/heapsort.h"

namespace vm::pedigree {
namespace {

// body(begin, end) over pieces of 1..size-1 on `workers` threads, each
// piece's entries written by its thread alone.
template <class Body>
void in_pieces(size_t size, unsigned workers, Body&& body) {
  constexpr size_t kPiece = size_t{1} << 16;
  const size_t pieces = size <= 1 ? 0 : (size - 1 + kPiece - 1) / kPiece;
  parallel_for(pieces, workers, [&](size_t k, unsigned) { body(1 + k * kPiece, std::min(size, 1 + (k + 1) * kPiece)); });
}

// values[w] = old[old_of_new[w]]; parents are renumbered as well when
// `new_of_old` is given. Long arrays are gathered in pieces on `workers`
// threads, each piece into its own part of the one new array.
std::vector<int32_t> in_new_order(const std::vector<int32_t>& old, const std::vector<int32_t>& old_of_new,
                                  const std::vector<int32_t>* new_of_old, unsigned workers) {
  std::vector<int32_t> values(old_of_new.size(), 0);
  // The old numbers come at random: their entries are asked for ahead,
  // and for parents the entries of their new numbers once those arrive.
  constexpr size_t kAhead = 16, kParentsAhead = 8;
  auto gather = [&](size_t begin, size_t end) {
    for (size_t w = begin; w < end; ++w) {
      if (w + kAhead < end) __builtin_prefetch(&old[static_cast<size_t>(old_of_new[w + kAhead])]);
      if (new_of_old != nullptr && w + kParentsAhead < end)
        __builtin_prefetch(&(*new_of_old)[static_cast<size_t>(old[static_cast<size_t>(old_of_new[w + kParentsAhead])])]);
      const int32_t v = old[static_cast<size_t>(old_of_new[w])];
      values[w] = new_of_old != nullptr && v != 0 ? (*new_of_old)[static_cast<size_t>(v)] : v;
    }
  };
  in_pieces(old_of_new.size(), workers, gather);
  return values;
}

}  // namespace

void renumber(Pedigree& ped, const std::vector<int32_t>& gen, Progress& progress, unsigned workers) {
  const int32_t n = ped.n;
  const size_t size = static_cast<size_t>(n) + 1;
  progress.stage("sorting", heap_steps(n));

  std::vector<OrigRow> orig(static_cast<size_t>(n));
  for (int32_t a = 1; a <= n; ++a) orig[static_cast<size_t>(a - 1)] = OrigRow{a, gen[a]};
  heap_sort_on_generation(orig, progress);

  std::vector<int32_t> old_of_new(size, 0), new_of_old(size, 0);
  // A permutation: each piece writes entries of new_of_old of its own.
  in_pieces(size, workers, [&](size_t begin, size_t end) {
    for (size_t w = begin; w < end; ++w) {
      const int32_t a = orig[w - 1].animal;
      old_of_new[w] = a;
      new_of_old[static_cast<size_t>(a)] = static_cast<int32_t>(w);
    }
  });
  std::vector<OrigRow>().swap(orig);

  ped.sire = in_new_order(ped.sire, old_of_new, &new_of_old, workers);
  ped.dam = in_new_order(ped.dam, old_of_new, &new_of_old, workers);
  progress.stage("links", 0);
  ped.period = in_new_order(ped.period, old_of_new, nullptr, workers);
  ped.pop = in_new_order(ped.pop, old_of_new, nullptr, workers);
  ped.loaded_as = std::move(old_of_new);
}

std::vector<int32_t> new_of_loaded(const Pedigree& ped) {
  std::vector<int32_t> new_of(static_cast<size_t>(std::max(ped.n, 0)) + 1, 0);
  for (int32_t w = 1; w <= ped.n; ++w) new_of[static_cast<size_t>(ped.loaded_as[w])] = w;
  return new_of;
}

}  // namespace vm::pedigree
