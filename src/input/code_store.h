// The run's codes: the code table, which holds every code text once, and
// the numbers the scan gives to population and period codes and the
// loading gives to animal codes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hash/module_hash.h"
#include "input/long_codes.h"

namespace vm::input {

// The per-kind maps are indexed by the code's id in the table (its storage
// order), which stands for its slot.
struct CodeStore {
  explicit CodeStore(int32_t slots) : table(slots) {}
  hash::CodeTable table;
  std::vector<int32_t> hash2pop, hash2period, hash2an;  // by id; 0: not of that kind
  std::vector<int32_t> pop2hash, period2hash, an2hash;  // by number (from 1) to id

  // CHASHSUB on this table; the count of stored codes is the table's own.
  hash::Hit look_up(hash::ModuleHash& hash, std::string_view code, bool add_new) {
    return look_up(hash, hash::Key(code), add_new);
  }
  hash::Hit look_up(hash::ModuleHash& hash, const hash::Key& code, bool add_new) {
    int32_t stored = table.ids();
    return hash.CHASHSUB(code, table, stored, add_new);
  }
  // The map entry of an id, growing the map as the table grows.
  static int32_t& entry(std::vector<int32_t>& map, int32_t id) {
    if (static_cast<size_t>(id) >= map.size()) map.resize(static_cast<size_t>(id) + static_cast<size_t>(id) / 2 + 16, 0);
    return map[static_cast<size_t>(id)];
  }
  // The codes as they are shown: whole, also where the table holds a
  // stand-in.
  std::string_view pop_name(int32_t I) const { return whole(table.code(pop2hash[I])); }
  std::string_view period_name(int32_t a) const { return whole(table.code(period2hash[a])); }
  std::string_view animal_code(int32_t x) const { return whole(table.code(an2hash[x])); }
  std::string_view whole(std::string_view field) const {
    return long_codes != nullptr ? long_codes->whole(field) : field;
  }
  // Sire and dam codes with a hyphen (the mark of an unknown parent) that
  // are the codes of animals with a record: how often, the first, and
  // whether they were read as those animals (the option interface) or as
  // unknown parents.
  struct HyphenParents {
    int64_t uses = 0;
    int64_t without_record = 0;  // other such codes, which no animal with a record has
    std::string first;
    bool read_as_animals = false;
  } hyphen_parents;
  // The whole codes of an option run (null in a classic run).
  std::shared_ptr<const LongCodes> long_codes;
};

}  // namespace vm::input
