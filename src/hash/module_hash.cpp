#include "hash/module_hash.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>
#include <stdexcept>
#include <utility>

#include "common/flat_table.h"
#include "common/format.h"
#include "common/huge_pages.h"
#include "common/exit_info.h"

namespace vm::hash {
namespace {

constexpr size_t kMaxKeyLength = 32;
constexpr size_t kMaxNumericLength = 9;
constexpr int32_t kMinProbeStep = 1023;
constexpr int32_t kStepDivisor = 13;
constexpr int64_t kPerturbationPeriod = 50;
constexpr int32_t kWarningFloor = 100;
constexpr float kMaxHitrate = 0.4f;
constexpr float kFillLimit = 0.95f;
// The cache's "no key": a text no pedigree code is expected to be.
constexpr std::string_view kNoKey = "@#$%&*()";

// Digit slot (1..9) of each of the 32 positions of the right-aligned key.
constexpr int kDigitSlot[33] = {0, 1, 4, 3, 3, 1, 5, 4, 2, 3, 2, 5, 4, 1, 4, 3, 2,
                                1, 5, 5, 2, 1, 4, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9};
// Each digit's sum of remainders (at most 9 per position) in a field of
// this many bits.
constexpr int kDigitBits = 7;
constexpr uint64_t kDigitMask = (uint64_t{1} << kDigitBits) - 1;
constexpr bool digit_sums_fit() {
  for (int slot = 1; slot <= 9; ++slot) {
    int positions = 0;
    for (int p = 1; p <= 32; ++p) positions += kDigitSlot[p] == slot;
    if (9 * positions > static_cast<int>(kDigitMask)) return false;
  }
  return 9 * kDigitBits <= 64;
}
static_assert(digit_sums_fit());

// Digits with leading blanks only, ending in a digit, at most 9 long.
bool is_numeric(std::string_view key) {
  if (key.empty() || key.size() > kMaxNumericLength || key.back() == ' ') return false;
  bool digits = false;
  for (char c : key) {
    if (c >= '0' && c <= '9') {
      digits = true;
    } else if (c != ' ' || digits) {
      return false;
    }
  }
  return true;
}

// The slot of probe k + 1 after probe k found slot `pos` taken by another
// key: the fixed step (one slot further after every 50th probe) up to probe
// N, then one slot at a time, so that probes N + 1 to 2N see every slot
// even where the step cycles through a few slots of a small table.
int32_t next_probe_slot(int64_t k, int32_t pos, int32_t N, int32_t step) {
  if (k >= N) return pos >= N ? 1 : pos + 1;
  int64_t next = (int64_t{pos} + step) % N + 1;
  if (k % kPerturbationPeriod == 0) ++next;
  if (next > N) next = 1;
  return static_cast<int32_t>(next);
}

// A stored key as its record holds it.
struct KeyRecord {
  int32_t id;
  int32_t slot;
  uint32_t probe;  // the probe at which the key's walk reached its slot
  std::string_view text;
};

// The stored keys, one record each (id, slot, probe, text), written once
// into blocks that never move, so that a view of a stored code stays valid
// and one read answers a look-up. A record is named by its offset.
class KeyRecords {
 public:
  uint64_t add(const KeyRecord& r) {
    const size_t size = kHeader + r.text.size();
    if (used_ + size > kBlock) {
      blocks_.emplace_back(static_cast<char*>(allocate_huge(kBlock)));
      used_ = 0;
    }
    char* p = blocks_.back().get() + used_;
    const auto length = static_cast<uint8_t>(r.text.size());
    std::memcpy(p, &r.id, 4);
    std::memcpy(p + 4, &r.slot, 4);
    std::memcpy(p + 8, &r.probe, 4);
    std::memcpy(p + 12, &length, 1);
    std::memcpy(p + kHeader, r.text.data(), r.text.size());
    const uint64_t ref = (static_cast<uint64_t>(blocks_.size() - 1) << kBlockBits) | used_;
    used_ += size;
    return ref;
  }
  void prefetch(uint64_t ref) const { __builtin_prefetch(at(blocks_[ref >> kBlockBits].get(), ref)); }
  KeyRecord get(uint64_t ref) const { return decode(at(blocks_[ref >> kBlockBits].get(), ref)); }

  // The records stored so far, for reading on another thread while more
  // are added: the blocks' addresses as they are now (the list of blocks
  // may move as it grows; the blocks and the records in them never do).
  class Stored {
   public:
    explicit Stored(const std::vector<const char*>& blocks) : blocks_(blocks) {}
    void prefetch(uint64_t ref) const { __builtin_prefetch(at(blocks_[ref >> kBlockBits], ref)); }
    KeyRecord get(uint64_t ref) const { return decode(at(blocks_[ref >> kBlockBits], ref)); }

   private:
    const std::vector<const char*>& blocks_;
  };
  std::vector<const char*> block_starts() const {
    std::vector<const char*> starts;
    for (const auto& b : blocks_) starts.push_back(b.get());
    return starts;
  }

 private:
  static const char* at(const char* block, uint64_t ref) { return block + (ref & (kBlock - 1)); }
  static KeyRecord decode(const char* p) {
    KeyRecord r;
    uint8_t length;
    std::memcpy(&r.id, p, 4);
    std::memcpy(&r.slot, p + 4, 4);
    std::memcpy(&r.probe, p + 8, 4);
    std::memcpy(&length, p + 12, 1);
    r.text = {p + kHeader, length};
    return r;
  }

  static constexpr size_t kHeader = 13;
  static constexpr int kBlockBits = 22;  // blocks of huge pages
  struct FreeHuge {
    void operator()(char* p) const { free_huge(p); }
  };
  static constexpr size_t kBlock = size_t{1} << kBlockBits;
  std::vector<std::unique_ptr<char[], FreeHuge>> blocks_;
  size_t used_ = kBlock;
};

// Code text -> record. An entry holds the record's offset plus one (0:
// empty) in its low 40 bits and a tag from the text's hash above, so a
// probe rarely has to read a record.
class KeyIndex {
 public:
  // The record of the text, id 0 when absent. `records`: KeyRecords or
  // KeyRecords::Stored.
  template <class Records>
  KeyRecord find(std::string_view text, uint64_t h, const Records& records) const {
    const uint64_t tag = h >> kRefBits;
    const TaggedRef* e = table_.find(h, [&](TaggedRef e) {
      return e.bits >> kRefBits == tag && records.get(e.ref()).text == text;
    });
    return e != nullptr ? records.get(e->ref()) : KeyRecord{0, 0, 0, {}};
  }
  void prefetch_entry(uint64_t h) const { table_.prefetch(h); }
  // Fetches the records whose tag matches; false when there is none.
  template <class Records>
  bool prefetch_records(uint64_t h, const Records& records) const {
    const uint64_t tag = h >> kRefBits;
    bool any = false;
    table_.find(h, [&](TaggedRef e) {
      if (e.bits >> kRefBits == tag) {
        records.prefetch(e.ref());
        any = true;
      }
      return false;
    });
    return any;
  }
  bool needs_room() const { return table_.full(); }
  void reserve(size_t keys, const std::vector<uint64_t>& refs, const KeyRecords& records) {
    if (keys * 4 <= table_.capacity() * 3) return;
    table_.reset(keys * 4 / 3 + 1);
    for (const uint64_t ref : refs) add(ref, hash_text(records.get(ref).text));
  }
  // Twice the room, filled again from every stored record in storage
  // order, so that the records are read one after another.
  void grow(std::span<const uint64_t> refs, const KeyRecords& records) {
    table_.reset(table_.capacity() * 2);
    for (const uint64_t ref : refs) add(ref, hash_text(records.get(ref).text));
  }
  size_t size() const { return table_.size(); }
  void add(uint64_t ref, uint64_t h) { table_.place(h, TaggedRef{(h >> kRefBits << kRefBits) | (ref + 1)}); }

 private:
  static constexpr int kRefBits = 40;
  static constexpr uint64_t kRefMask = (uint64_t{1} << kRefBits) - 1;
  struct TaggedRef {
    uint64_t bits = 0;
    bool empty() const { return bits == 0; }
    uint64_t ref() const { return (bits & kRefMask) - 1; }
  };
  FlatTable<TaggedRef, HugeVector<TaggedRef>> table_;
};

// How far the walk from one home slot is known to run over taken slots:
// probes 1 to k - 1 are taken, probe k is at slot pos. Slots never empty,
// so this only moves forward.
struct Frontier {
  int32_t home = 0;
  uint32_t k = 1;  // up to 2N, which exceeds int32 for the largest tables
  int32_t pos = 0;
  bool empty() const { return home == 0; }
};

// Home slot -> Frontier, for the homes whose walk has run over at least
// two taken slots; the others start from scratch at little cost.
class FrontierMap {
 public:
  void prefetch(int32_t home) const { table_.prefetch(mix64(static_cast<uint64_t>(home))); }
  Frontier get(int32_t home) const {
    const Frontier* f = table_.find(mix64(static_cast<uint64_t>(home)), [&](const Frontier& e) { return e.home == home; });
    return f != nullptr ? *f : Frontier{home, 1, home};
  }
  void put(const Frontier& f) {
    const uint64_t h = mix64(static_cast<uint64_t>(f.home));
    if (Frontier* e = table_.find(h, [&](const Frontier& e) { return e.home == f.home; })) {
      *e = f;
    } else {
      table_.add(h, f, [](const Frontier& e) { return mix64(static_cast<uint64_t>(e.home)); });
    }
  }

 private:
  FlatTable<Frontier> table_;
};

}  // namespace

// What the fast table knows: which slots are taken (one bit each, as N can
// run to hundreds of millions), and per stored key its text, slot and the
// probe at which its walk reached that slot. A key's walk always ends at
// that same probe, as the slots before it stay taken.
struct CodeTable::Store {
  explicit Store(int32_t N) : taken(static_cast<size_t>(std::max(N, 0)) / 64 + 1, 0) {}

  // Names this store in what keys remember of it (never 0, never reused).
  static uint64_t next_serial() {
    static std::atomic<uint64_t> last{0};
    return ++last;
  }
  const uint64_t serial = next_serial();
  // The key's record: as prefetch() found it, or looked up now.
  KeyRecord find(const Key& key) const {
    if (key.found.store == serial) return {key.found.id, key.found.slot, key.found.probe, key.text};
    return find(key.text, key.hash);
  }

  bool is_taken(int32_t slot) const { return (taken[static_cast<size_t>(slot) >> 6] >> (slot & 63)) & 1; }
  KeyRecord key(int32_t id) const { return records.get(refs[static_cast<size_t>(id) - 1]); }
  KeyRecord find(std::string_view s, uint64_t h) const {
    const KeyRecord r = index.find(s, h, records);
    return r.id != 0 || later.size() == 0 ? r : later.find(s, h, records);
  }

  // The first probe of the walk from `home` that meets an empty slot;
  // k = 0 when there is none, that is when every slot is taken.
  Frontier first_free(int32_t home, int32_t N, int32_t step) {
    if (taken_count == N) return {home, 0, 0};
    const Frontier known = frontiers.get(home);
    Frontier f = known;
    while (is_taken(f.pos)) {
      f.pos = next_probe_slot(f.k, f.pos, N, step);
      ++f.k;
    }
    if (f.k != known.k && f.k > 2) frontiers.put(f);
    return f;
  }

  int32_t store(std::string_view s, uint64_t h, int32_t slot, uint32_t probe) {
    taken[static_cast<size_t>(slot) >> 6] |= uint64_t{1} << (slot & 63);
    ++taken_count;
    const auto id = static_cast<int32_t>(refs.size() + 1);
    // From the first view on, new keys go to an index of their own.
    KeyIndex& into = viewed ? later : index;
    if (into.needs_room()) into.grow(std::span<const uint64_t>(refs).subspan(viewed ? indexed_before_view : 0), records);
    refs.push_back(records.add({id, slot, probe, s}));
    into.add(refs.back(), h);
    return id;
  }

  // The id stored in `slot`; `hint` is the id that the cached answer came
  // with, right unless the cache answered for another table.
  int32_t id_at(int32_t slot, int32_t hint) const {
    if (hint >= 1 && static_cast<size_t>(hint) <= refs.size() && key(hint).slot == slot) return hint;
    if (!is_taken(slot)) return 0;
    for (const uint64_t ref : refs) {
      const KeyRecord r = records.get(ref);
      if (r.slot == slot) return r.id;
    }
    return 0;
  }

  // The stored probes describe walks of one step and one key length.
  void bind(int32_t probe_step, size_t key_length) {
    if (step == 0) {
      step = probe_step;
      length = key_length;
    } else if (step != probe_step) {
      throw std::logic_error("CodeTable: used with two different probe steps");
    } else if (length != key_length) {
      throw std::logic_error("CodeTable: keys of different field lengths");
    }
  }

  HugeVector<uint64_t> taken;
  int64_t taken_count = 0;
  KeyRecords records;
  std::vector<uint64_t> refs;  // record by id - 1
  KeyIndex index;
  // From the first view (StoredKeys) on, `index` is only read, as views
  // may read it on other threads: the keys stored since are in `later`.
  bool viewed = false;
  size_t indexed_before_view = 0;  // the keys in `index`
  KeyIndex later;
  FrontierMap frontiers;
  int32_t step = 0;  // 0 until the first walk
  size_t length = 0;
};

// ---------------------------------------------------------------- hashing

int64_t hash_value(std::string_view key) {
  if (key.size() > kMaxKeyLength) key = key.substr(key.size() - kMaxKeyLength);
  if (is_numeric(key)) {
    int64_t value = 0;
    for (char c : key) {
      if (c != ' ') value = value * 10 + (c - '0');
    }
    return value;
  }
  // Each digit is a sum modulo 10, so the characters' remainders are
  // summed first and reduced once; the nine sums are fields of one word,
  // added into in one chain rather than through memory.
  static constexpr auto kRemainder = [] {
    std::array<uint8_t, 256> r{};
    for (size_t c = 0; c < r.size(); ++c) r[c] = static_cast<uint8_t>(c % 10);
    return r;
  }();
  static constexpr auto kShift = [] {
    std::array<uint8_t, 33> shift{};
    for (size_t position = 1; position < shift.size(); ++position)
      shift[position] = static_cast<uint8_t>(kDigitBits * (kDigitSlot[position] - 1));
    return shift;
  }();
  uint64_t sums = 0;
  const uint8_t* shift = kShift.data() + (kMaxKeyLength - key.size() + 1);
  for (size_t i = 0; i < key.size(); ++i) sums += uint64_t{kRemainder[static_cast<unsigned char>(key[i])]} << shift[i];
  int64_t H = 0;
  for (int j = 0; j < 9; ++j) H = H * 10 + static_cast<int64_t>((sums >> (kDigitBits * j)) & kDigitMask) % 10;
  return H;
}

int32_t home_slot_of_value(int64_t H, int32_t N) {
  if (N <= 0) return 0;
  if (H >= 1 && H < N) return static_cast<int32_t>(H);
  return static_cast<int32_t>(H % N + 1);
}

int32_t home_slot(std::string_view key, int32_t N) { return home_slot_of_value(hash_value(key), N); }

Key::Key(std::string_view f) {
  const std::string_view trimmed = rtrim(f);
  assign_parts(f.data(), f.size(), trimmed.size(), hash_text(trimmed));
}

std::string local_date_time() {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  const std::tm* t = std::localtime(&now);
  if (t == nullptr) return std::string(24, ' ');
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %s %2d %02d:%02d:%02d %4d", kDays[t->tm_wday % 7], kMonths[t->tm_mon % 12],
                t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec, t->tm_year + 1900);
  return buf;
}

// ---------------------------------------------------------------- tables

CodeTable::CodeTable(int32_t N) : N_(N), store_(std::make_unique<Store>(N)) {}
CodeTable::~CodeTable() = default;
CodeTable::CodeTable(CodeTable&&) noexcept = default;
CodeTable& CodeTable::operator=(CodeTable&&) noexcept = default;

void CodeTable::blank() { store_ = std::make_unique<Store>(N_); }

int32_t CodeTable::ids() const { return static_cast<int32_t>(store_->refs.size()); }

std::string_view CodeTable::code(int32_t id) const {
  if (id < 1 || id > ids()) return {};
  return store_->key(id).text;
}

int32_t CodeTable::slot_of(int32_t id) const {
  if (id < 1 || id > ids()) return 0;
  return store_->key(id).slot;
}

int32_t CodeTable::id_at(int32_t slot, int32_t hint) const { return store_->id_at(slot, hint); }

void CodeTable::reserve(int32_t keys) {
  // A view may be reading the index: it is not made again.
  if (!store_->viewed) store_->index.reserve(static_cast<size_t>(std::max(keys, 0)), store_->refs, store_->records);
  store_->refs.reserve(static_cast<size_t>(std::max(keys, 0)));
}

void CodeTable::prefetch(const Key& key, int stage) const {
  const Store& store = *store_;
  if (key.found.store == store.serial) return;  // a view found it: nothing to read
  if (stage == 0) {
    store.index.prefetch_entry(key.hash);
  } else if (N_ <= 0) {
    return;
  } else if (stage == 1) {
    if (!store.index.prefetch_records(key.hash, store.records))
      store.frontiers.prefetch(home_slot_of_value(key.value(), N_));
  } else if (const KeyRecord r = store.find(key.text, key.hash); r.id != 0) {
    key.found = {store.serial, r.id, r.slot, r.probe};
  } else {
    // Where the walk stands and, as that slot is often taken, the next one.
    const Frontier f = store.frontiers.get(home_slot_of_value(key.value(), N_));
    __builtin_prefetch(&store.taken[static_cast<size_t>(f.pos) >> 6]);
    if (store.step != 0 && f.k < static_cast<uint32_t>(N_))
      __builtin_prefetch(&store.taken[static_cast<size_t>(next_probe_slot(f.k, f.pos, N_, store.step)) >> 6]);
  }
}

int32_t CodeTable::peek(const Key& key) const { return store_->find(key).id; }

CodeTable::StoredKeys CodeTable::stored_keys() {
  Store& store = *store_;
  if (!store.viewed) store.viewed = true, store.indexed_before_view = store.refs.size();
  StoredKeys view;
  view.store_ = &store;
  view.blocks_ = store.records.block_starts();
  return view;
}

void CodeTable::StoredKeys::prefetch(uint64_t hash, int stage) const {
  if (stage == 0) {
    store_->index.prefetch_entry(hash);
  } else {
    store_->index.prefetch_records(hash, KeyRecords::Stored(blocks_));
  }
}

Key::Found CodeTable::StoredKeys::find(std::string_view text, uint64_t hash) const {
  const KeyRecord r = store_->index.find(text, hash, KeyRecords::Stored(blocks_));
  if (r.id == 0) return {};
  return {store_->serial, r.id, r.slot, r.probe};
}

// ---------------------------------------------------------------- CHASHSUB

ModuleHash::ModuleHash(Sink* screen, Sink* channel9) : ModuleHash(screen, channel9, local_date_time) {}

ModuleHash::ModuleHash(Sink* screen, Sink* channel9, std::function<std::string()> clock)
    : screen_(screen), channel9_(channel9), clock_(std::move(clock)), last_text_(kNoKey) {}

bool ModuleHash::prologue(const Key& key, int32_t N, Hit& hit) {
  if (N <= 0) EXIT_INFO("CHASH: Dimensie van opslag array <= 0:", probe_step_, {static_cast<float>(N)});
  if (first_call_) {
    probe_step_ = std::max(N / kStepDivisor, kMinProbeStep);
    first_call_ = false;
  }
  if (N != last_size_) {
    last_size_ = N;
    last_pos_ = 0;
    warn_limit_ = static_cast<int32_t>(kMaxHitrate * static_cast<float>(N));
  }
  // The one-entry cache: the last key, compared without trailing blanks.
  if (last_pos_ != 0 && key.text == last_text_) {
    hit.slot = last_pos_;
    return true;
  }
  if (key.text.empty()) {
    // last_pos_ stays: only a call with the key kNoKey could meet it again.
    last_text_ = kNoKey;
    hit = {};
    return true;
  }
  if (key.field.size() > kMaxKeyLength) {
    const auto L = static_cast<int>(key.field.size());
    EXIT_INFO("CHASH: characterstring mag max. 32 characters omvatten.", L, {static_cast<float>(L)});
  }
  last_text_ = key.text;
  return false;
}

// Only the number of collisions matters for the rules that the walk would
// have met on the way.
Hit CodeTable::walk(ModuleHash& module, const Key& key, int32_t& n_opslag, bool add_new) {
  Store& store = *store_;
  store.bind(module.probe_step(), key.field.size());
  const int32_t N = N_;
  const int32_t count = n_opslag;

  if (const KeyRecord stored = store.find(key); stored.id != 0) {
    after_collisions(module, int64_t{stored.probe} - 1, key, N, count, add_new);
    return module.answered(stored.slot, stored.id);
  }

  const Frontier free = store.first_free(home_slot_of_value(key.value(), N), N, module.probe_step());
  after_collisions(module, free.k == 0 ? 2 * int64_t{N} : int64_t{free.k} - 1, key, N, count, add_new);
  if (free.k == 0) module.probes_exhausted(key.field, N, count);
  if (!add_new) return module.missed();
  const int32_t id = store.store(key.text, key.hash, free.pos, free.k);
  n_opslag = static_cast<int32_t>(static_cast<uint32_t>(count) + 1);
  return module.answered(free.pos, id);
}

// The count does not change during a call, so the fill rule ends the run
// at the first collision or never; the hit-rate rule cannot fire there
// (its limit is at least 40 where it applies) and fires at most once, at
// the probe just past the limit.
void CodeTable::after_collisions(ModuleHash& module, int64_t collisions, const Key& key, int32_t N,
                                 int32_t count, bool add_new) {
  if (collisions == 0) return;
  if (add_new && ModuleHash::too_full(count, N)) {
    module.table_too_full(count, N, module.next_slot(1, home_slot_of_value(key.value(), N), N));
  }
  if (module.hitrate_due(collisions, N)) module.warn_hitrate(module.hitrate_limit() + 1, N, key.field);
}

int32_t ModuleHash::next_slot(int64_t k, int32_t pos, int32_t N) const {
  return next_probe_slot(k, pos, N, probe_step_);
}

bool ModuleHash::hitrate_due(int64_t collisions, int32_t N) const {
  return collisions > warn_limit_ && N > kWarningFloor && !hitrate_warned_;
}

bool ModuleHash::too_full(int32_t count, int32_t N) {
  return static_cast<float>(count) / static_cast<float>(N) > kFillLimit;
}

// ---------------------------------------------------------------- messages

void ModuleHash::warn_hitrate(int64_t probe, int32_t N, std::string_view key) {
  if (screen_ != nullptr) {
    screen_->write(FreeLine().str());
    screen_->write(FreeLine().text(" WARNING : ").str());
    screen_->write(FreeLine().text(" hitrate in chash is higher than MAX_HITRATE:").num(probe).str());
    screen_->write(FreeLine().text(" increase array, PARAMETER max_opslag =").num(N).str());
    screen_->write(FreeLine().text(" this happens with CASE ").text(key).str());
  }
  if (channel9_ != nullptr) {
    std::string lines = " WARNING : \n";
    lines.append(" hitrate in chash is higher than MAX_HITRATE: ").append(fmt_I(probe, 10)).append("\n");
    lines.append(" increase array, PARAMETER max_opslag = ").append(fmt_I(N, 10)).append("\n");
    lines.append(" this happens with CASE ").append(key).append("\n");
    channel9_->write(lines);
  }
  hitrate_warned_ = true;
  if (screen_ != nullptr) screen_->flush();
}

void ModuleHash::table_too_full(int32_t count, int32_t N, int32_t slot) {
  const std::string when = clock_();
  constexpr std::string_view kTooSmall = ": array in chash routine too small";
  constexpr std::string_view kAdvice = " array size should be at least 120% of number of expected variables";
  if (screen_ != nullptr) {
    screen_->write(FreeLine().text(when).text(kTooSmall).str());
    screen_->write(FreeLine().text(" variable found up to now").num(count).str());
    screen_->write(FreeLine().text(" array size is now").num(N).str());
    screen_->write(FreeLine().text(kAdvice).str());
    screen_->flush();
  }
  if (channel9_ != nullptr) {
    std::string lines = when;
    lines.append(kTooSmall).append("\n");
    lines.append(" variable found up to now ").append(fmt_I(count, 10)).append("\n");
    lines.append(" array size is now").append(fmt_I(N, 10)).append("\n");
    lines.append(kAdvice).append("\n");
    channel9_->write(lines);
    channel9_->flush();
  }
  EXIT_INFO("CHASH: " + when + " - array in chash routine too small.", slot);
}

void ModuleHash::probes_exhausted(std::string_view key, int32_t N, int32_t count) {
  const std::string message = "CHASH: Array too small, dimensies aanpassen bij string: " + std::string(rtrim(key));
  EXIT_INFO(message, static_cast<int>(int64_t{N} + 1), {static_cast<float>(N), static_cast<float>(count)});
}

}  // namespace vm::hash
