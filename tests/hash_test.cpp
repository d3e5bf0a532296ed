// Hash store: home slot, probe walk and its rules, the module state shared
// by all tables, the fatal reports; and the fast table against the literal
// walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/format.h"
#include "common/sink.h"
#include "common/stop.h"
#include "common/exit_info.h"
#include "hash/module_hash.h"
#include "reference/literal_table.h"

namespace vm::hash {
namespace {

constexpr const char* kWhen = "Tue Dec  8 14:55:02 2026";

std::string field(std::string_view code) { return pad(code, kCodeWidth); }
std::string num9(int64_t v) { return fmt_I(v, 9); }  // numeric: digits right-aligned
// Codes of at most 22 characters end their field in three blanks, which
// fill the last three hash digits: all share home slot 223 of 1000.
std::string short_code(int i) { return field("K" + std::to_string(i)); }

FatalExit fatal_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const FatalExit& e) {
    return e;
  }
  ADD_FAILURE() << "the call did not end the run";
  return {0, {}};
}

std::string exit_report(const std::string& message, const std::string& code5) {
  return message + "\nHoofdprogramma: velmora\n Hoofdprogramma wordt nu afgesloten met exitcode:" + code5 + "\n";
}

// A caller: one module with its message sinks, a fixed clock and a count.
struct Caller {
  StringSink screen, channel9;
  ModuleHash hash{&screen, &channel9, [] { return std::string(kWhen); }};
  int32_t n = 0;
  template <class Table>
  Hit insert(Table& t, std::string_view key) {
    return hash.CHASHSUB(key, t, n, true);
  }
  template <class Table>
  Hit lookup(Table& t, std::string_view key) {
    return hash.CHASHSUB(key, t, n, false);
  }
};

TEST(HashValue, FieldKeysAndNumericKeys) {
  EXPECT_EQ(hash_value(field("abc")), 824882222);
  EXPECT_EQ(home_slot(field("abc"), 1000), 223);
  EXPECT_EQ(home_slot(field("abc"), 6000), 2223);
  EXPECT_EQ(hash_value(field("123")), 866882222);
  EXPECT_EQ(hash_value("123"), 123);
  EXPECT_EQ(hash_value("  7"), 7);
  EXPECT_EQ(hash_value("1 2"), 920);  // a blank inside or after the digits: plain text
  EXPECT_EQ(hash_value("12 "), 902);
  EXPECT_EQ(hash_value("1234567890"), 11345678);  // too long to be numeric
  EXPECT_EQ(hash_value("\xff"), 5);               // bytes count unsigned
}

TEST(HashValue, EqualsTheDefinitionOnRandomKeys) {
  std::mt19937 rng(23);
  const std::string alphabet = std::string("0123456789     AZaz-_./\x01\x7f\x80\xff");
  for (int k = 0; k < 200000; ++k) {
    std::string key(rng() % 41, ' ');
    for (char& c : key) c = alphabet[rng() % alphabet.size()];
    if (rng() % 4 == 0) std::fill(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(rng() % (key.size() + 1)), ' ');
    ASSERT_EQ(hash_value(key), literal_hash_value(key)) << '"' << key << '"';
  }
}

TEST(HashValue, HomeSlotWrapsOutsideOneToNMinusOne) {
  EXPECT_EQ(home_slot("123", 1000), 123);
  EXPECT_EQ(home_slot("999", 1000), 999);
  EXPECT_EQ(home_slot("1000", 1000), 1);
  EXPECT_EQ(home_slot("0", 1000), 1);
  EXPECT_EQ(home_slot("1001", 1000), 2);
}

// Every behaviour below holds for the fast table and the literal walk.
template <class Table>
class HashStore : public ::testing::Test {};
using Tables = ::testing::Types<CodeTable, LiteralTable>;
TYPED_TEST_SUITE(HashStore, Tables);

TYPED_TEST(HashStore, ProbeSequenceIn6000Slots) {
  Caller c;
  TypeParam t(6000);
  std::vector<int32_t> slots{c.insert(t, num9(2223)).slot};
  for (int j = 1; j <= 50; ++j) slots.push_back(c.insert(t, num9(2222 + 6000 * j)).slot);  // all home 2223
  EXPECT_EQ(c.hash.probe_step(), 1023);
  EXPECT_EQ(std::vector<int32_t>(slots.begin(), slots.begin() + 6),
            (std::vector<int32_t>{2223, 3247, 4271, 5295, 319, 1343}));
  EXPECT_EQ(slots[48], 3375);
  EXPECT_EQ(slots[49], 4399);
  EXPECT_EQ(slots[50], 5424);  // the 50th step goes one slot further
  EXPECT_EQ(c.n, 51);
}

TYPED_TEST(HashStore, StepAdvances24In1000SlotsAndStaysFixed) {
  Caller c;
  TypeParam t(1000);
  EXPECT_EQ(c.insert(t, field("abc")).slot, 223);
  EXPECT_EQ(c.insert(t, field("abd")).slot, 247);
  EXPECT_EQ(c.insert(t, field("x")).slot, 271);
  EXPECT_EQ(c.insert(t, field("abc")).slot, 223);  // stored once
  EXPECT_EQ(c.lookup(t, field("x")).id, 3);
  EXPECT_EQ(c.n, 3);

  Caller big_first;  // the first call fixes the step: 26000 div 13
  TypeParam big(26000), small(1000);
  big_first.insert(big, field("abc"));
  big_first.insert(small, field("abc"));
  EXPECT_EQ(big_first.insert(small, field("abd")).slot, 224);
}

TYPED_TEST(HashStore, SmallTableFillsThroughTheWalkExtension) {
  // From slot 6 of 72 the step keeps to a few slots; after 72 probes the
  // walk goes on slot by slot until every key has its place.
  Caller c;
  TypeParam t(72);
  std::vector<int32_t> slots{0};
  for (int j = 1; j <= 68; ++j) slots.push_back(c.insert(t, num9(5 + 72 * j)).slot);
  EXPECT_EQ(std::set<int32_t>(slots.begin() + 1, slots.end()).size(), 68u);
  EXPECT_EQ(slots[19], 64);  // probe 73: the slot after probe 72's slot 63
  EXPECT_EQ(slots[25], 72);
  EXPECT_EQ(slots[26], 1);
  for (int j = 1; j <= 68; ++j) EXPECT_EQ(c.lookup(t, num9(5 + 72 * j)).id, j);
}

TYPED_TEST(HashStore, OneEntryCacheSharedByAllTables) {
  Caller c;
  TypeParam a(1000), b(1000), other_size(6000);
  c.insert(a, field("abc"));
  const Hit cached = c.insert(b, field("abc"));  // b is not looked at
  EXPECT_EQ(cached.slot, 223);
  EXPECT_EQ(cached.id, 0);
  EXPECT_EQ(c.n, 1);

  c.lookup(b, field("x"));
  EXPECT_EQ(c.lookup(b, field("abc")).slot, 0);  // finds nothing: no usable entry
  EXPECT_EQ(c.lookup(a, field("abc")).id, 1);

  for (bool add_new : {true, false}) EXPECT_EQ(c.hash.CHASHSUB(field(""), a, c.n, add_new).slot, 0);
  EXPECT_EQ(c.lookup(a, std::string(40, ' ')).slot, 0);  // blank, so not too long
  EXPECT_EQ(c.insert(b, field("abc")).id, 1);             // the blank key cleared the cache
  EXPECT_EQ(c.n, 2);

  c.insert(other_size, field("abc"));
  c.insert(b, field("q"));
  c.insert(other_size, field("q"));  // a new size clears the cache
  const Hit q = c.insert(b, field("q"));
  EXPECT_EQ(q.slot, 247);
  EXPECT_EQ(q.id, 2);
  EXPECT_EQ(c.screen.data + c.channel9.data, "");
}

TYPED_TEST(HashStore, FirstInsertOfTheRunBlanksTheTable) {
  TypeParam t(1000);
  Caller before;
  before.insert(t, field("abc"));
  before.insert(t, field("abd"));
  Caller lookup_first;
  EXPECT_EQ(lookup_first.lookup(t, field("abd")).slot, 247);
  Caller counted;
  counted.n = 2;
  EXPECT_EQ(counted.insert(t, field("x")).slot, 271);

  Caller fresh;
  EXPECT_EQ(fresh.insert(t, field("x")).id, 1);
  EXPECT_EQ(fresh.lookup(t, field("abc")).slot, 0);
}

TYPED_TEST(HashStore, HitRateWarningOnceJustPastFortyPercent) {
  Caller c;
  TypeParam t(1000);
  for (int i = 1; i <= 401; ++i) c.insert(t, short_code(i));
  EXPECT_EQ(c.screen.data, "");
  c.insert(t, short_code(402));  // after 401 collisions
  const std::string key = short_code(402);
  EXPECT_EQ(c.screen.data,
            "\n  WARNING : \n  hitrate in chash is higher than MAX_HITRATE:         401\n"
            "  increase array, PARAMETER max_opslag =        1000\n  this happens with CASE " +
                key + "\n");
  EXPECT_EQ(c.channel9.data,
            " WARNING : \n hitrate in chash is higher than MAX_HITRATE:        401\n"
            " increase array, PARAMETER max_opslag =       1000\n this happens with CASE " +
                key + "\n");
  const std::string once = c.screen.data;
  for (int i = 403; i <= 450; ++i) c.insert(t, short_code(i));
  EXPECT_EQ(c.screen.data, once);

  Caller later;  // finding a key that far along warns as well
  later.lookup(t, short_code(450));
  EXPECT_NE(later.screen.data.find("MAX_HITRATE:         401"), std::string::npos);

  Caller small;
  TypeParam hundred(100);
  for (int i = 1; i <= 95; ++i) small.insert(hundred, num9(22 + 100 * i));  // all home 23
  EXPECT_FALSE(small.hash.hitrate_warned());
}

TYPED_TEST(HashStore, TableTooFullEndsAtACollisionOnly) {
  Caller c;
  TypeParam t(100);
  c.insert(t, num9(6));
  EXPECT_EQ(c.insert(t, num9(105)).slot, 30);  // home 6 taken: (6 + 1023) mod 100 + 1
  for (int v = 1; v <= 96; ++v) {
    if (v != 6 && v != 30) c.insert(t, num9(v));
  }
  ASSERT_EQ(c.n, 96);
  EXPECT_EQ(c.lookup(t, num9(105)).slot, 30);  // look-ups ignore the fill
  EXPECT_EQ(c.insert(t, num9(97)).slot, 97);   // empty home
  EXPECT_EQ(c.insert(t, num9(5)).slot, 5);     // home holds the key
  EXPECT_EQ(c.screen.data, "");
  const FatalExit end = fatal_of([&] { c.insert(t, num9(105)); });
  EXPECT_EQ(end.code, 30);
  EXPECT_EQ(exit_info_report(end, "velmora"), exit_report("CHASH: Tue Dec  8 14:55:02 2026 - array in chash routine too small.", "   30"));
  EXPECT_EQ(c.screen.data,
            " Tue Dec  8 14:55:02 2026: array in chash routine too small\n"
            "  variable found up to now          97\n"
            "  array size is now         100\n"
            "  array size should be at least 120% of number of expected variables\n");
  EXPECT_EQ(c.channel9.data,
            "Tue Dec  8 14:55:02 2026: array in chash routine too small\n"
            " variable found up to now         97\n"
            " array size is now       100\n"
            " array size should be at least 120% of number of expected variables\n");
}

TYPED_TEST(HashStore, ProbesExhaustedInAFullTable) {
  for (bool add_new : {false, true}) {
    Caller c;
    TypeParam t(6000);
    for (int v = 1; v <= 5999; ++v) c.insert(t, num9(v));
    c.insert(t, num9(11999));  // home 6000
    c.n = 1500;                // the caller's count, below the fill limit
    const FatalExit end = fatal_of([&] { c.hash.CHASHSUB(pad("ABC", 9), t, c.n, add_new); });
    EXPECT_EQ(end.code, 6001);
    EXPECT_EQ(exit_info_report(end, "velmora"), exit_report("CHASH: Array too small, dimensies aanpassen bij string: ABC  6000  1500", " 6001"));
    EXPECT_NE(c.screen.data.find("MAX_HITRATE:        2401"), std::string::npos);
  }
}

TYPED_TEST(HashStore, SizeAndKeyLengthChecks) {
  Caller first;
  TypeParam none(0);
  FatalExit end = fatal_of([&] { first.insert(none, field("abc")); });
  EXPECT_EQ(exit_info_report(end, "velmora"), exit_report("CHASH: Dimensie van opslag array <= 0:  0", " 1023"));

  Caller later;
  TypeParam big(26000), negative(-5);
  later.insert(big, field("abc"));
  end = fatal_of([&] { later.lookup(negative, field("abc")); });
  EXPECT_EQ(end.code, 2000);
  EXPECT_EQ(exit_info_report(end, "velmora"), exit_report("CHASH: Dimensie van opslag array <= 0: -5", " 2000"));

  end = fatal_of([&] { later.lookup(big, std::string(33, 'x')); });
  EXPECT_EQ(end.code, 33);
  EXPECT_EQ(exit_info_report(end, "velmora"), exit_report("CHASH: characterstring mag max. 32 characters omvatten.  33", "   33"));
}

// ---------------------------------------------------------------- fast = literal

// One table in both forms, with the keys tried on it.
struct TwinTable {
  TwinTable(int32_t N, size_t L, int counter) : fast(N), literal(N), N(N), L(L), counter(counter) {}
  CodeTable fast;
  LiteralTable literal;
  int32_t N;
  size_t L;                        // one field length per table
  int counter;                     // which of the run's two counts it uses
  std::vector<std::string> crowd;  // keys on two home slots
  std::vector<std::string> used;
  // Once taken, a view of the keys stored so far (ids 1..viewed_ids),
  // which then answers each call's key first, as a reading thread would.
  std::optional<CodeTable::StoredKeys> view;
  int32_t viewed_ids = 0;
};

class Comparison {
 public:
  explicit Comparison(uint32_t seed) : rng_(seed) {}

  void run(int calls) {
    make_tables();
    for (int i = 0; i < calls; ++i) {
      TwinTable& t = *tables_[pick(tables_.size())];
      if (i > 0 && !t.view && pick(60) == 0) t.view = t.fast.stored_keys(), t.viewed_ids = t.fast.ids();
      if (!call(t, make_key(t), pick(10) < 7)) return;
      if (pick(40) == 0) {  // a count that lags behind lets tables fill up
        int32_t& n = fast_n_[t.counter];
        n = literal_n_[t.counter] = static_cast<int32_t>(pick(static_cast<size_t>(n) + 1));
      }
    }
    for (const auto& t : tables_) expect_same_contents(*t);
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  void make_tables() {
    static constexpr int32_t kSizes[] = {1, 2, 3, 5, 7, 10, 16, 37, 72, 96, 100, 101, 150, 192, 257, 400, 1000};
    static constexpr size_t kLengths[] = {25, 25, 25, 9, 9, 3, 1, 32};
    for (size_t i = 0, count = 1 + pick(4); i < count; ++i) {
      int32_t N = kSizes[pick(std::size(kSizes))];
      if (i == 0 && pick(8) == 0) N = 13299 + static_cast<int32_t>(pick(8000));  // a step above 1023
      if (i > 0 && pick(3) == 0) N = tables_[0]->N;  // the cache meets two tables
      tables_.push_back(std::make_unique<TwinTable>(N, kLengths[pick(std::size(kLengths))], static_cast<int>(pick(2))));
      fill_crowd(*tables_.back());
    }
  }

  std::string random_text(size_t max_length) {
    static constexpr std::string_view kChars = "ABCXYZabc0123456789-_ \xe9\xff";
    std::string s(1 + pick(max_length), ' ');
    for (char& ch : s) ch = kChars[pick(kChars.size())];
    s[0] = s[0] == ' ' ? 'Q' : s[0];
    return s;
  }

  void fill_crowd(TwinTable& t) {
    std::set<int32_t> homes;
    for (int tries = 0; tries < 4000 && t.crowd.size() < 60; ++tries) {
      std::string key = pad(random_text(std::min<size_t>(t.L, 6)), t.L);
      if (homes.size() < 2) homes.insert(home_slot(key, t.N));
      if (homes.count(home_slot(key, t.N)) != 0) t.crowd.push_back(key);
    }
  }

  std::string make_key(TwinTable& t) {
    const size_t kind = pick(8);
    if (kind < 2 && !t.used.empty()) return t.used[pick(t.used.size())];
    if (kind == 7 && pick(10) == 0) return std::string(t.L, ' ');
    std::string key;
    if (kind < 3 && !t.crowd.empty()) {
      key = t.crowd[pick(t.crowd.size())];
    } else if (kind < 4) {  // right-aligned digits: numeric where L allows
      key = fmt_I(static_cast<int64_t>(pick(3 * static_cast<size_t>(t.N) + 2)), static_cast<int>(t.L));
    } else if (kind < 5) {  // digits that are not numeric
      key = std::to_string(pick(1000)) + (pick(2) == 0 ? " 1" : "");
    } else {
      key = random_text(std::min<size_t>(t.L, 12));
    }
    t.used.push_back(pad(key, t.L));
    return t.used.back();
  }

  struct Outcome {
    Hit hit;
    bool ended = false;
    FatalExit end{0, {}};
  };

  template <class Table, class K>
  static Outcome outcome(ModuleHash& hash, const K& key, Table& table, int32_t& n, bool add_new) {
    Outcome o;
    try {
      o.hit = hash.CHASHSUB(key, table, n, add_new);
    } catch (const FatalExit& e) {
      o.ended = true;
      o.end = e;
    }
    return o;
  }

  // False once the run has ended. The fast table is asked to fetch the
  // key's memory first (which must change nothing), and then tells the id
  // of a key it holds.
  bool call(TwinTable& t, const std::string& key, bool add_new) {
    // The fast table gets the key with what its prefetch found of it.
    const Key facts(key);
    if (t.view && !facts.text.empty()) {
      const int32_t stored = t.fast.peek(Key(key));
      const Key::Found seen = t.view->find(facts.text, facts.hash);
      EXPECT_EQ(seen.id, stored != 0 && stored <= t.viewed_ids ? stored : 0) << key;
      if (seen.id != 0) {
        EXPECT_EQ(seen.slot, t.fast.slot_of(seen.id));
      }
      facts.found = seen;
    }
    for (int stage = 0; stage < CodeTable::kPrefetchStages; ++stage) t.fast.prefetch(facts, stage);
    const Outcome fast = outcome(fast_.hash, facts, t.fast, fast_n_[t.counter], add_new);
    if (fast.hit.id != 0 && t.fast.code(fast.hit.id) == rtrim(key)) {
      EXPECT_EQ(t.fast.peek(facts), fast.hit.id);
    }
    const Outcome literal = outcome(literal_.hash, key, t.literal, literal_n_[t.counter], add_new);
    SCOPED_TRACE("N=" + std::to_string(t.N) + " key=\"" + key + "\" add_new=" + std::to_string(add_new));
    EXPECT_EQ(fast.hit.slot, literal.hit.slot);
    EXPECT_EQ(fast.hit.id, literal.hit.id);
    EXPECT_EQ(fast_n_[t.counter], literal_n_[t.counter]);
    EXPECT_EQ(fast_.screen.data, literal_.screen.data);
    EXPECT_EQ(fast_.channel9.data, literal_.channel9.data);
    EXPECT_EQ(fast.end.code, literal.end.code);
    EXPECT_EQ(fast.end.message, literal.end.message);
    return !fast.ended && !literal.ended && !::testing::Test::HasFailure();
  }

  static void expect_same_contents(const TwinTable& t) {
    int32_t taken = 0;
    for (int32_t slot = 1; slot <= t.N; ++slot) taken += !t.literal.slot_text(slot).empty();
    EXPECT_EQ(t.fast.ids(), taken);
    for (int32_t id = 1; id <= t.fast.ids(); ++id) {
      EXPECT_EQ(t.fast.code(id), t.literal.slot_text(t.fast.slot_of(id))) << "id " << id;
    }
  }

  std::mt19937 rng_;
  std::vector<std::unique_ptr<TwinTable>> tables_;
  Caller fast_, literal_;
  int32_t fast_n_[2] = {0, 0};
  int32_t literal_n_[2] = {0, 0};
};

TEST(FastTable, EqualsTheLiteralWalkOnRandomCalls) {
  for (uint32_t seed = 1; seed <= 400 && !HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Comparison(seed).run(500);
  }
}

TEST(FastTable, EqualsTheLiteralWalkOnAnimalNumbers) {
  Caller fast, literal;
  CodeTable f(18000);
  LiteralTable l(18000);
  for (int i = 1; i <= 3000; ++i) {
    const std::string key = field(std::to_string(100000 + 7 * i));
    const Hit a = fast.insert(f, key);
    const Hit b = literal.insert(l, key);
    ASSERT_EQ(a.slot, b.slot) << key;
    ASSERT_EQ(a.id, b.id) << key;
  }
}

TEST(FastTable, ThirtyThousandAnimalNumbersIn60000Slots) {
  Caller c;
  CodeTable t(60000);
  std::set<int32_t> homes, slots;
  for (int i = 1; i <= 30000; ++i) {
    homes.insert(home_slot(field(std::to_string(i)), t.size()));
    slots.insert(c.insert(t, field(std::to_string(i))).slot);
  }
  EXPECT_EQ(homes.size(), 6u);
  EXPECT_EQ(slots.size(), 30000u);
  for (int i = 1; i <= 30000; i += 97) EXPECT_EQ(t.code(c.lookup(t, field(std::to_string(i))).id), std::to_string(i));
}

// What prefetch() keeps with a key (where it found it stored) serves only
// the table whose store found it: not another table, nor the table once
// blanked.
TEST(FastTable, WhatAPrefetchFoundServesOnlyItsOwnStore) {
  ModuleHash hash(nullptr, nullptr);
  CodeTable a(1000), b(1000);
  int32_t na = 0, nb = 0;
  const std::string k1 = field("AB1"), k2 = field("AB2");
  ASSERT_EQ(hash.CHASHSUB(k2, b, nb, true).id, 1);
  ASSERT_EQ(hash.CHASHSUB(k1, a, na, true).id, 1);
  ASSERT_EQ(hash.CHASHSUB(k2, a, na, true).id, 2);
  const Key key(k2);
  for (int stage = 0; stage < CodeTable::kPrefetchStages; ++stage) a.prefetch(key, stage);
  EXPECT_EQ(a.peek(key), 2);
  EXPECT_EQ(b.peek(key), 1);
  ASSERT_EQ(hash.CHASHSUB(k1, b, nb, false).id, 0);  // a miss: the module's last key is not k2
  EXPECT_EQ(hash.CHASHSUB(key, b, nb, false).id, 1);
  EXPECT_EQ(hash.CHASHSUB(k1, a, na, false).id, 1);
  EXPECT_EQ(hash.CHASHSUB(key, a, na, false).id, 2);
  b.blank();
  EXPECT_EQ(b.peek(key), 0);
}

// A view is read on one thread while another stores many more keys (the
// index of the later keys grows again and again, the key records take new
// blocks): the view finds each key stored before it where the table has
// it, and none stored after; the table finds them all.
TEST(FastTable, AViewReadsOnWhileTheTableGrows) {
  Caller c;
  CodeTable t(600000);
  const auto code = [](int i) { return field("K" + std::to_string(i)); };
  constexpr int kBefore = 20000, kAfter = 200000;
  std::vector<Hit> hits;
  for (int i = 0; i < kBefore; ++i) hits.push_back(c.insert(t, code(i)));
  const CodeTable::StoredKeys view = t.stored_keys();
  const std::vector<Hit> before = hits;
  std::atomic<int> wrong{0};
  std::thread reader([&] {
    for (int round = 0; round < 5; ++round)
      for (int i = 0; i < kBefore + kAfter; i += 1 + round) {
        const std::string text = code(i);
        const Key key(text);
        const Key::Found f = view.find(key.text, key.hash);
        const auto k = static_cast<size_t>(i);
        const bool right = i < kBefore ? f.id == before[k].id && f.slot == before[k].slot : f.store == 0;
        wrong += !right;
      }
  });
  for (int i = kBefore; i < kBefore + kAfter; ++i) hits.push_back(c.insert(t, code(i)));
  reader.join();
  EXPECT_EQ(wrong.load(), 0);
  for (int i = 0; i < kBefore + kAfter; i += 7) EXPECT_EQ(c.lookup(t, code(i)).id, hits[static_cast<size_t>(i)].id) << i;
}

TEST(FastTable, RefusesKeysOfAnotherLength) {
  Caller c;
  CodeTable t(1000);
  c.insert(t, field("abc"));
  EXPECT_THROW(c.insert(t, "abd"), std::logic_error);
}

}  // namespace
}  // namespace vm::hash
