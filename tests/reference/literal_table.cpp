#include "reference/literal_table.h"

#include <algorithm>
#include <array>

#include "common/format.h"

namespace vm::hash {

// The rightmost 32 characters, right-aligned in 32 positions. Up to 9
// digits after leading blanks are the number they spell; any other key
// gives nine digits, each the sum of the character codes at its positions,
// modulo 10.
int64_t literal_hash_value(std::string_view key) {
  if (key.size() > 32) key = key.substr(key.size() - 32);
  const size_t first = key.find_first_not_of(' ');
  const bool numeric = key.size() <= 9 && first != std::string_view::npos &&
                       std::all_of(key.begin() + static_cast<std::ptrdiff_t>(first), key.end(),
                                   [](char c) { return c >= '0' && c <= '9'; });
  if (numeric) return std::stoll(std::string(key.substr(first)));
  static constexpr std::array<int, 33> kDigitOfPosition = {0, 1, 4, 3, 3, 1, 5, 4, 2, 3, 2, 5, 4, 1, 4, 3, 2,
                                                           1, 5, 5, 2, 1, 4, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::array<int64_t, 10> sum{};
  for (size_t i = 0; i < key.size(); ++i)
    sum[static_cast<size_t>(kDigitOfPosition[32 - key.size() + 1 + i])] += static_cast<unsigned char>(key[i]);
  int64_t H = 0;
  for (size_t j = 1; j <= 9; ++j) H = H * 10 + sum[j] % 10;
  return H;
}

LiteralTable::LiteralTable(int32_t N) : N_(N) { blank(); }

void LiteralTable::blank() {
  const size_t slots = static_cast<size_t>(std::max(N_, 0)) + 1;
  slots_.assign(slots, std::string());
  slot_id_.assign(slots, 0);
  ids_ = 0;
}

std::string_view LiteralTable::slot_text(int32_t slot) const {
  if (slot < 1 || slot > N_) return {};
  return slots_[static_cast<size_t>(slot)];
}

// Texts compare without trailing blanks, which equals comparing the key's
// L characters with the slot's first L as long as one table sees one L.
Hit LiteralTable::walk(ModuleHash& module, std::string_view key, int32_t& n_opslag, bool add_new) {
  const int32_t N = N_;
  const int32_t count = n_opslag;
  const std::string_view text = rtrim(key);
  int32_t pos = home_slot_of_value(literal_hash_value(key), N);
  for (int64_t k = 1;; ++k) {
    std::string& slot = slots_[static_cast<size_t>(pos)];
    int32_t& slot_id = slot_id_[static_cast<size_t>(pos)];
    if (slot == text) return module.answered(pos, slot_id);
    if (slot.empty()) {
      if (!add_new) return module.missed();
      slot = text;
      slot_id = ++ids_;
      n_opslag = static_cast<int32_t>(static_cast<uint32_t>(count) + 1);
      return module.answered(pos, slot_id);
    }
    pos = module.next_slot(k, pos, N);
    if (module.hitrate_due(k, N)) module.warn_hitrate(k, N, key);
    if (add_new && ModuleHash::too_full(count, N)) module.table_too_full(count, N, pos);
    if (k + 1 > 2 * int64_t{N}) module.probes_exhausted(key, N, count);
  }
}

}  // namespace vm::hash
