// ModuleHash: the keyed code store. CHASHSUB maps a code text to a stable
// slot of an open-addressing table of N slots (home slot from the
// characters of the code, fixed probe step), storing it first in insert
// mode. Nothing is ever deleted and a stored code never moves.
//
// The module state (one-entry cache, probe step, hit-rate warning flag) is
// shared by every call and every table, as the walk's behaviour depends on
// it. Fatal conditions end the run through EXIT_INFO.
//
// CodeTable is the fast table: every call costs O(1) amortised, while every
// slot, count, warning and fatal report equals the literal probe walk of
// LiteralTable, which is kept as the definition and tested against it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/sink.h"

namespace vm::hash {

// Width of the code fields this program passes (L).
inline constexpr int kKeyLength = 25;

// The answer of one call: the slot (1..N, 0 for a blank key or a look-up
// that found nothing) and the key's dense id (1..number of stored keys, in
// the order the keys were stored; 0 when slot is 0). Callers index their
// per-kind maps by id.
struct Hit {
  int32_t slot = 0;
  int32_t id = 0;
};

// The hash value H of a key of L = key.size() characters (trailing blanks
// count) and its home slot in a table of N slots.
int64_t hash_value(std::string_view key);
int32_t home_slot(std::string_view key, int32_t N);

class CodeTable;
class LiteralTable;

class ModuleHash {
 public:
  // screen: the hit-rate and table-too-full lines; channel9: the message
  // file. Both may be null (nothing written).
  ModuleHash(Sink* screen, Sink* channel9);

  // CHASHSUB(TXT, TXT_OPSLAG, max_opslag, n_opslag, add_new, ipos).
  // key: the code field as it stands (L characters, blank-padded).
  Hit CHASHSUB(std::string_view key, CodeTable& table, int32_t& n_opslag, bool add_new);
  Hit CHASHSUB(std::string_view key, LiteralTable& table, int32_t& n_opslag, bool add_new);

  int32_t probe_step() const { return probe_step_; }
  bool hitrate_warned() const { return hitrate_warned_; }

 private:
  // ... module state; see the .cpp
  friend class CodeTable;
  friend class LiteralTable;
  Sink* screen_;
  Sink* channel9_;
  std::string last_key_;
  int32_t last_pos_ = 0;
  int32_t last_size_ = 0;
  int32_t warn_limit_ = 0;
  int32_t probe_step_ = 1023;
  bool first_call_ = true;
  bool hitrate_warned_ = false;
};

// The fast table of N slots.
class CodeTable {
 public:
  explicit CodeTable(int32_t N);
  int32_t size() const { return N_; }
  // Number of stored keys (ids run from 1 to this).
  int32_t ids() const;
  // The stored code of an id, without trailing blanks.
  std::string_view code(int32_t id) const;
  int32_t slot_of(int32_t id) const;

 private:
  friend class ModuleHash;
  int32_t N_;
  // ... see the .cpp
};

// The literal table: N texts, probed slot by slot exactly as the walk is
// defined. Kept as the reference for tests.
class LiteralTable {
 public:
  explicit LiteralTable(int32_t N);
  int32_t size() const { return N_; }
  std::string_view slot_text(int32_t slot) const;  // without trailing blanks

 private:
  friend class ModuleHash;
  int32_t N_;
  std::vector<std::string> slots_;
  std::vector<int32_t> slot_id_;
  int32_t ids_ = 0;
};

}  // namespace vm::hash
