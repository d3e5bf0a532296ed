// ModuleHash: the keyed code store. CHASHSUB maps a code text to a stable
// slot of an open-addressing table of N slots (home slot from the
// characters of the code, fixed probe step), storing it first in insert
// mode. Nothing is ever deleted and a stored code never moves.
//
// The module state (one-entry cache, probe step, hit-rate warning flag) is
// shared by every call and every table, as the walk's behaviour depends on
// it. Fatal conditions end the run through EXIT_INFO.
//
// CodeTable is the table: every call costs O(1) amortised, while every
// slot, count, warning and fatal report equals the literal probe walk,
// slot by slot with every rule checked at every collision. A table brings
// its own walk and meets the module's rules through the calls below, so
// the literal walk can be held beside it in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/sink.h"

namespace vm::hash {


// The answer of one call: the slot (1..N, 0 for a blank key or a look-up
// that found nothing) and the key's dense id (1..number of stored keys, in
// the order the keys were stored; 0 when slot is 0). Callers index their
// per-kind maps by id.
struct Hit {
  int32_t slot = 0;
  int32_t id = 0;
};

// The hash value H of a key of L = key.size() characters (trailing blanks
// count) and its home slot in a table of N slots. Only the rightmost 32
// characters take part (CHASHSUB refuses longer keys).
int64_t hash_value(std::string_view key);
int32_t home_slot(std::string_view key, int32_t N);
int32_t home_slot_of_value(int64_t H, int32_t N);

// A code as the table takes it: the field as it stands and what every
// call on it computes, worked out once, for callers that hand the same
// code to prefetch(), peek() and CHASHSUB.
struct Key {
  Key() = default;
  explicit Key(std::string_view field);
  std::string_view field;  // L characters, blank-padded
  std::string_view text;   // without trailing blanks
  uint64_t hash = 0;       // hash_text(text): the key index's hash

  // Becomes the key of the field at `copy` from what was worked out of it
  // before, perhaps on another thread: the length of its text without
  // trailing blanks and the text's hash_text.
  void assign_parts(const char* copy, size_t field_size, size_t text_size, uint64_t text_hash) {
    field = {copy, field_size};
    text = {copy, text_size};
    hash = text_hash;
    found = {};
    value_known_ = false;
  }

  // hash_value(field) as worked out before, perhaps on another thread.
  void know_value(int64_t value) {
    value_ = value;
    value_known_ = true;
  }

  // hash_value(field): where the walk starts, worked out when first asked
  // for (a look-up of a stored key never needs it) unless know_value gave
  // it before.
  int64_t value() const {
    if (!value_known_) value_ = hash_value(field), value_known_ = true;
    return value_;
  }

  // Where a table's prefetch() found the key stored, for the calls on the
  // same key after it (a stored key never moves); `store` 0: not found.
  struct Found {
    uint64_t store = 0;  // the serial number of the table's store
    int32_t id = 0, slot = 0;
    uint32_t probe = 0;
  };
  mutable Found found;

 private:
  mutable int64_t value_ = 0;
  mutable bool value_known_ = false;
};

// The date-time text of the table-too-full report: 24 characters,
// "Tue Dec  8 14:55:02 2026", in local time.
std::string local_date_time();

class ModuleHash {
 public:
  // screen: the hit-rate and table-too-full lines; channel9: the message
  // file. Both may be null (nothing written).
  ModuleHash(Sink* screen, Sink* channel9);
  // The same with the clock of the table-too-full report replaced.
  ModuleHash(Sink* screen, Sink* channel9, std::function<std::string()> clock);

  // CHASHSUB(TXT, TXT_OPSLAG, max_opslag, n_opslag, add_new, ipos).
  // key: the code field as it stands (L characters, blank-padded). The
  // table offers size(), blank() (emptied by the first storing call of a
  // run), id_at(slot, hint) and walk(module, key, n_opslag, add_new).
  template <class Table>
  Hit CHASHSUB(std::string_view key, Table& table, int32_t& n_opslag, bool add_new) {
    return CHASHSUB(Key(key), table, n_opslag, add_new);
  }
  template <class Table>
  Hit CHASHSUB(const Key& key, Table& table, int32_t& n_opslag, bool add_new) {
    if (first_call_ && n_opslag == 0 && add_new) table.blank();
    Hit hit;
    if (prologue(key, table.size(), hit)) {
      if (hit.slot != 0) hit.id = table.id_at(hit.slot, last_id_);
      return hit;
    }
    return table.walk(*this, key, n_opslag, add_new);
  }

  int32_t probe_step() const { return probe_step_; }
  bool hitrate_warned() const { return hitrate_warned_; }

  // What a walk meets. The slot of probe k + 1 after probe k found slot
  // `pos` of N taken by another key.
  int32_t next_slot(int64_t k, int32_t pos, int32_t N) const;
  // Whether the hit-rate warning is due after `collisions` collisions: it
  // is written once, at the first probe past the limit.
  bool hitrate_due(int64_t collisions, int32_t N) const;
  int64_t hitrate_limit() const { return warn_limit_; }
  void warn_hitrate(int64_t probe, int32_t N, std::string_view key);
  // The fill rule: more than 95% of the slots counted as taken.
  static bool too_full(int32_t count, int32_t N);
  [[noreturn]] void table_too_full(int32_t count, int32_t N, int32_t slot);
  [[noreturn]] void probes_exhausted(std::string_view key, int32_t N, int32_t count);
  // How a walk ends: at the key's slot (remembered for the next call), or
  // without finding it.
  Hit answered(int32_t slot, int32_t id) {
    last_pos_ = slot;
    last_id_ = id;
    return {slot, id};
  }
  Hit missed() {
    last_pos_ = 0;
    return {};
  }

 private:
  // Steps before the table is probed; true when the call is answered
  // without probing (`hit` then holds the slot; the caller adds the id).
  bool prologue(const Key& key, int32_t N, Hit& hit);

  Sink* screen_;
  Sink* channel9_;
  std::function<std::string()> clock_;
  std::string last_text_;  // the last key without trailing blanks
  int32_t last_pos_ = 0;
  int32_t last_id_ = 0;  // the id behind last_pos_, in the table that answered
  int32_t last_size_ = 0;
  int32_t warn_limit_ = 0;
  int32_t probe_step_ = 1023;
  bool first_call_ = true;
  bool hitrate_warned_ = false;
};

// The table of N slots. Every key passed to one table must have the
// same field length L and one table serves one ModuleHash (or modules with
// the same probe step); otherwise std::logic_error, as the stored walk
// positions would no longer describe the walk. A moved-from table may only
// be assigned to or destroyed.
class CodeTable {
  struct Store;

 public:
  explicit CodeTable(int32_t N);
  ~CodeTable();
  CodeTable(CodeTable&&) noexcept;
  CodeTable& operator=(CodeTable&&) noexcept;

  int32_t size() const { return N_; }
  // Number of stored keys (ids run from 1 to this).
  int32_t ids() const;
  // The stored code of an id, without trailing blanks; stays valid as long
  // as the table (texts never move).
  std::string_view code(int32_t id) const;
  int32_t slot_of(int32_t id) const;

  // Room for `keys` stored keys without the index growing on the way.
  void reserve(int32_t keys);
  // For callers that know their next keys: asks the cache for what the
  // walk of `key` will read, without changing anything. Each stage reads
  // what the one before fetched, so a whole batch of keys goes through one
  // stage before the next: 0 the index entry, 1 the stored record or, for
  // a new key, where its walk stands, 2 for a new key the slot where its
  // walk goes on. peek() then gives the key's id (0 when not stored) from
  // the cache.
  static constexpr int kPrefetchStages = 3;
  void prefetch(const Key& key, int stage) const;
  int32_t peek(const Key& key) const;

  // Look-ups of the keys stored before the table's first view, which
  // other threads may make while this one stores more keys: from the
  // first view on, new keys are indexed apart, so nothing a view reads is
  // written again. What a view finds, handed to a key as its `found`,
  // spares the calls on that key the look-up (a stored key never moves);
  // a key a view does not find may have been stored since. A view is
  // valid as long as the table, until blank().
  class StoredKeys {
   public:
    // As prefetch(), by the text's hash: stage 0 the index entry, 1 the
    // records it names.
    void prefetch(uint64_t hash, int stage) const;
    // store 0: not among the keys the view sees.
    Key::Found find(std::string_view text, uint64_t hash) const;

   private:
    friend class CodeTable;
    const Store* store_ = nullptr;
    std::vector<const char*> blocks_;  // the key records' blocks, which never move
  };
  StoredKeys stored_keys();

  // The module's side (see CHASHSUB).
  void blank();
  int32_t id_at(int32_t slot, int32_t hint) const;
  // The walk without walking: a stored key ends at its stored probe; a new
  // key at the first empty slot after the point up to which its home's
  // walk is known to be taken.
  Hit walk(ModuleHash& module, const Key& key, int32_t& n_opslag, bool add_new);

 private:
  // The rules that the walk would have met at its `collisions` collisions,
  // in the order it meets them.
  static void after_collisions(ModuleHash& module, int64_t collisions, const Key& key, int32_t N, int32_t count,
                               bool add_new);
  int32_t N_;
  std::unique_ptr<Store> store_;
};

}  // namespace vm::hash
