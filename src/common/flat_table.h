// Hashing: one mix of 64-bit integers, one hash of texts, and one flat
// open-addressing table (linear probing, capacity a power of two, at most
// three quarters full) for every index the program keeps.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace vm {

inline uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return x;
}

// All 64 bits well mixed, eight characters at a time: callers place
// entries by the low bits and tag or pick slots by the high ones.
// Whole words are read with a fixed-size copy (one load), only the last
// part word byte by byte.
inline uint64_t hash_text(std::string_view s) {
  constexpr uint64_t kStep = 0x9e3779b97f4a7c15ull;
  uint64_t h = mix64(kStep + s.size());
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    h = mix64(h ^ word) + kStep;
  }
  if (i < s.size()) {
    // The last part word as a copy into a zeroed word gives it, but read
    // in registers: the bytes of a copy of unknown length would be read
    // back as one word before they reach the cache. From a text of eight
    // or more, the last eight bytes shifted; from a shorter one, byte by
    // byte.
    const size_t rest = s.size() - i;
    uint64_t word = 0;
    if constexpr (std::endian::native == std::endian::little) {
      if (s.size() >= 8) {
        std::memcpy(&word, s.data() + s.size() - 8, 8);
        word >>= 8 * (8 - rest);
      } else {
        for (size_t k = 0; k < rest; ++k) word |= uint64_t{static_cast<unsigned char>(s[i + k])} << (8 * k);
      }
    } else {
      std::memcpy(&word, s.data() + i, rest);
    }
    h = mix64(h ^ word) + kStep;
  }
  return mix64(h);
}

// Entries carry their own key, so the caller gives the hash and says which
// entry matches; the keys may live elsewhere (a stored text, say). Entry{}
// is an empty slot and `entry.empty()` must say so. Entries never leave.
template <class Entry, class Storage = std::vector<Entry>>
class FlatTable {
 public:
  // The entry that `match` accepts among those placed under hash h, or null.
  template <class Match>
  Entry* find(uint64_t h, Match&& match) {
    if (slots_.empty()) return nullptr;
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      Entry& e = slots_[i];
      if (e.empty()) return nullptr;
      if (match(e)) return &e;
    }
  }
  template <class Match>
  const Entry* find(uint64_t h, Match&& match) const {
    return const_cast<FlatTable*>(this)->find(h, match);
  }

  // Adds an entry that is not in the table; `hash_of(entry)` gives the
  // hash of a stored entry when the table grows.
  template <class HashOf>
  void add(uint64_t h, const Entry& entry, HashOf&& hash_of) {
    if (full()) {
      Storage old = std::move(slots_);
      reset(std::max<size_t>(16, old.size() * 2));
      for (const Entry& e : old)
        if (!e.empty()) place(hash_of(e), e);
    }
    place(h, entry);
  }

  // For callers that refill the table in an order of their own (for
  // locality): whether the next entry needs more room, an empty table of
  // at least `capacity` slots, and placing without a check for room.
  bool full() const { return (used_ + 1) * 4 > slots_.size() * 3; }
  void reset(size_t capacity) {
    slots_.assign(std::bit_ceil(std::max<size_t>(capacity, 16)), Entry{});
    mask_ = slots_.size() - 1;
    used_ = 0;
  }
  void place(uint64_t h, const Entry& entry) {
    size_t i = h & mask_;
    while (!slots_[i].empty()) i = (i + 1) & mask_;
    slots_[i] = entry;
    ++used_;
  }

  // Asks the cache for the first slot of hash h (a look-up soon to come).
  void prefetch(uint64_t h) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[h & mask_]);
  }

  size_t size() const { return used_; }
  size_t capacity() const { return slots_.size(); }

 private:
  Storage slots_;
  size_t mask_ = 0;
  size_t used_ = 0;
};

}  // namespace vm
