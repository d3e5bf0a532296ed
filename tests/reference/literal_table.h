// The code table as its walk is defined: N texts, probed slot by slot,
// every rule of the module checked at every collision. The program's
// CodeTable must give the same slots, ids, counts, warnings and fatal
// reports for every call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hash/module_hash.h"

namespace vm::hash {

// hash_value as defined, digit by digit.
int64_t literal_hash_value(std::string_view key);

class LiteralTable {
 public:
  explicit LiteralTable(int32_t N);
  int32_t size() const { return N_; }
  std::string_view slot_text(int32_t slot) const;  // without trailing blanks

  // The module's side (see ModuleHash::CHASHSUB).
  void blank();
  int32_t id_at(int32_t slot, int32_t) const { return slot_id_[static_cast<size_t>(slot)]; }
  Hit walk(ModuleHash& module, std::string_view key, int32_t& n_opslag, bool add_new);
  Hit walk(ModuleHash& module, const Key& key, int32_t& n_opslag, bool add_new) {
    return walk(module, key.field, n_opslag, add_new);
  }

 private:
  int32_t N_;
  std::vector<std::string> slots_;  // index 1..N; empty text: blank slot
  std::vector<int32_t> slot_id_;
  int32_t ids_ = 0;
};

}  // namespace vm::hash
