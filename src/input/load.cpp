#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/cpus.h"
#include "common/flat_table.h"
#include "common/format.h"
#include "common/progress.h"
#include "common/parallel.h"
#include "common/stop.h"
#include "input/load.h"
#include "input/scan.h"

namespace vm::input {
namespace {

// Answers for codes that come back again and again (population and period
// codes in nearly every record, the sires of many offspring), kept
// direct-mapped. A stored code never moves and its numbers never change,
// and a look-up of a stored code changes nothing in the code table, so the
// table is asked only on a miss.
template <int kBits>
class CodeMemo {
 public:
  // The value remembered for the code, 0 when there is none.
  int32_t find(const hash::Key& code) const {
    const Entry& e = entries_[slot(code.hash)];
    return e.value != 0 && std::memcmp(e.code.data(), code.field.data(), kFieldWidth) == 0 ? e.value : 0;
  }
  void remember(const hash::Key& code, int32_t value) {
    Entry& e = entries_[slot(code.hash)];
    std::memcpy(e.code.data(), code.field.data(), kFieldWidth);
    e.value = value;
  }
  void prefetch(uint64_t h) const { __builtin_prefetch(&entries_[slot(h)]); }

 private:
  struct Entry {
    std::array<char, kFieldWidth> code{};
    int32_t value = 0;
  };
  static size_t slot(uint64_t h) { return static_cast<size_t>(h >> (64 - kBits)); }
  std::vector<Entry> entries_ = std::vector<Entry>(size_t{1} << kBits);
};

// Records read ahead of the code table, a batch at a time, so that the
// table's memory for all the codes of a batch is asked for at once and
// arrives while the records are done one by one in file order. Only the
// fields a pass uses are kept, each with what the table computes from it.
// A read that fails ends the batch; its error is raised once the records
// before it are done, as without the batch.
//
// A batch is filled on the reading thread and used on the table's, and
// every cache line of it that both touch goes from one core to the other
// and back: so a batch holds, field by field, only what the table's
// thread reads, and the codes' keys are made on that thread (Keys). A
// code that repeats the one of the record before (the population, the
// period, a sire of many offspring) is not copied again: its key points
// at the earlier copy. The animal pass's table thread has more to do than
// its reading thread, so there the reading also works out where the walk
// of each animal code starts (hash_value), which nearly every new code
// needs.
class RecordBatch {
 public:
  static constexpr size_t kRecords = 128;
  static constexpr size_t kFields = 3;

  // unknown: for the fields after the first, which of their codes stand
  // for an unknown parent, worked out while reading (null: not asked).
  // first_values: whether the first field's keys come with hash_value.
  RecordBatch(std::array<int32_t, kFields> numbers, const UnknownParents* unknown, bool first_values)
      : numbers_(numbers), unknown_(unknown), first_values_(first_values) {}

  // Reads records first.. (at most kRecords, none past `count`).
  void fill(RecordSource& source, int64_t first, int64_t count) {
    first_ = first;
    size_t& n = size_;
    n = 0;
    looked_up_ = false;
    for (int64_t record = first; n < kRecords && record <= count; ++record, ++n) {
      // Blanked before every read, so that an empty value is an unknown
      // parent and never the previous record's one.
      source.fields.blank();
      try {
        read_counted_record(source, record, count);
      } catch (...) {
        failure_ = std::current_exception();
        break;
      }
      for (size_t k = 0; k < kFields; ++k) {
        Field& f = fields_[k];
        const char* read = source.fields.get(numbers_[k]).data();
        // The field is compared where it was parsed, not with a copy just
        // made, whose parts are still on their way to the cache.
        if (n > 0 && std::memcmp(f.text[f.copy[n - 1]].data(), read, kFieldWidth) == 0) {
          f.copy[n] = f.copy[n - 1];
          f.text_size[n] = f.text_size[n - 1];
          f.hash[n] = f.hash[n - 1];
          f.unknown[n] = f.unknown[n - 1];
          if (k == 0) first_value_[n] = first_value_[n - 1];
          continue;
        }
        f.copy[n] = static_cast<uint8_t>(n);
        std::memcpy(f.text[n].data(), read, kFieldWidth);
        const std::string_view field(read, kFieldWidth);
        const std::string_view text = rtrim(field);
        f.text_size[n] = static_cast<uint8_t>(text.size());
        f.hash[n] = hash_text(text);
        if (k == 0 && first_values_) first_value_[n] = hash::hash_value(field);
        const std::string_view whole = source.file.whole_code(field);
        const bool unknown = k > 0 && unknown_ != nullptr && (text.empty() || unknown_->is_unknown(whole));
        f.unknown[n] = !unknown                                   ? kKnown
                       : unknown_->unknown_by_hyphen_only(whole) ? kUnknownByHyphenOnly
                                                                 : kUnknown;
      }
    }
  }
  // The look-ups of the batch's parent codes, made on the reading thread
  // where it has time to spare: the table's memory for all of them asked
  // for stage by stage, then each code found among the keys the view sees.
  void look_up_parents(const hash::CodeTable::StoredKeys& view) {
    looked_up_ = true;
    for (int stage = 0; stage < hash::CodeTable::kPrefetchStages; ++stage) {
      for (size_t k = 1; k < kFields; ++k) {
        Field& f = fields_[k];
        for (size_t i = 0; i < size_; ++i) {
          if (f.copy[i] != i || f.unknown[i] != kKnown) continue;
          if (stage + 1 < hash::CodeTable::kPrefetchStages) {
            view.prefetch(f.hash[i], stage);
          } else {
            f.found[i] = view.find({f.text[i].data(), f.text_size[i]}, f.hash[i]);
          }
        }
      }
    }
  }
  int64_t first() const { return first_; }
  size_t size() const { return size_; }
  bool failed() const { return failure_ != nullptr; }
  void raise_failure() {
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

  // The batch's codes as the table takes them, made on the using thread
  // in an array of its own, and what the reading found of them.
  class Keys {
   public:
    void make(const RecordBatch& batch) {
      batch_ = &batch;
      for (size_t k = 0; k < kFields; ++k) {
        const Field& f = batch.fields_[k];
        for (size_t i = 0; i < batch.size_; ++i) {
          hash::Key& key = keys_[i * kFields + k];
          key.assign_parts(f.text[f.copy[i]].data(), kFieldWidth, f.text_size[i], f.hash[i]);
          if (batch.looked_up_ && k > 0 && f.unknown[i] == kKnown) key.found = f.found[f.copy[i]];
        }
      }
      if (batch.first_values_) {
        for (size_t i = 0; i < batch.size_; ++i) keys_[i * kFields].know_value(batch.first_value_[i]);
      }
    }
    int64_t first() const { return batch_->first_; }
    size_t size() const { return batch_->size_; }
    // Field k (in the order of the numbers given) of record i of the batch.
    const hash::Key& field(size_t i, size_t k) const { return keys_[i * kFields + k]; }
    // Whether field k (after the first) of record i is blank or a code for
    // an unknown parent.
    bool unknown_parent(size_t i, size_t k) const { return batch_->fields_[k].unknown[i] != kKnown; }
    // Whether that is so only because the code holds a hyphen.
    bool unknown_by_hyphen_only(size_t i, size_t k) const {
      return batch_->fields_[k].unknown[i] == kUnknownByHyphenOnly;
    }

   private:
    const RecordBatch* batch_ = nullptr;
    std::array<hash::Key, kRecords * kFields> keys_{};
  };

 private:
  enum : uint8_t { kKnown, kUnknown, kUnknownByHyphenOnly };
  // One field of the batch's records as the reading leaves it.
  struct Field {
    std::array<uint64_t, kRecords> hash;      // hash_text of the text
    std::array<uint8_t, kRecords> text_size;  // without trailing blanks
    std::array<uint8_t, kRecords> unknown;    // kKnown, ...
    std::array<uint8_t, kRecords> copy;       // the record whose text holds the code
    std::array<std::array<char, kFieldWidth>, kRecords> text;
    std::array<hash::Key::Found, kRecords> found;  // where look_up_parents found the code
  };

  std::array<int32_t, kFields> numbers_;
  const UnknownParents* unknown_;
  bool first_values_;
  std::array<int64_t, kRecords> first_value_{};  // hash_value of the first field, with first_values_
  int64_t first_ = 0;
  size_t size_ = 0;
  bool looked_up_ = false;  // by look_up_parents
  std::array<Field, kFields> fields_{};
  std::exception_ptr failure_;
};

using BatchKeys = RecordBatch::Keys;

// A pass's records in batches, read and parsed on a helper thread while
// the calling thread uses the batches before them, in file order (with a
// single worker, one batch after the other on the calling thread).
// Given a view of the code table, the reading thread also looks up the
// parent codes of the batches it fills while it is ahead of the table's
// thread (the table's thread has the more to do), and only then: so the
// work goes to whichever thread has time for it, and the answers are the
// same either way.
class BatchedPass {
 public:
  BatchedPass(RecordSource& source, std::array<int32_t, RecordBatch::kFields> numbers, const UnknownParents* unknown,
              bool first_values, int64_t count, const hash::CodeTable::StoredKeys* parents_view = nullptr)
      : source_(source), count_(count), batches_(kSlots, RecordBatch(numbers, unknown, first_values)),
        parents_view_(parents_view) {}

  // use(keys) for every batch in turn.
  template <class Use>
  void run(unsigned workers, Use&& use) {
    int64_t next = 1;
    bool failed = false;
    auto keys = std::make_unique<BatchKeys>();
    size_t filled = 0;
    std::atomic<size_t> used{0};
    make_alongside(
        workers, kSlots,
        [&](size_t slot) {
          if (next > count_ || failed) return false;
          RecordBatch& batch = batches_[slot];
          batch.fill(source_, next, count_);
          next += static_cast<int64_t>(RecordBatch::kRecords);
          failed = batch.failed();
          if (parents_view_ != nullptr && filled - used.load(std::memory_order_relaxed) >= kAhead)
            batch.look_up_parents(*parents_view_);
          ++filled;
          return true;
        },
        [&](size_t slot) {
          RecordBatch& batch = batches_[slot];
          keys->make(batch);
          use(static_cast<const BatchKeys&>(*keys));
          batch.raise_failure();
          used.fetch_add(1, std::memory_order_relaxed);
        });
  }

 private:
  static constexpr size_t kSlots = 16;
  static constexpr size_t kAhead = kSlots / 4;  // batches filled and not yet used
  RecordSource& source_;
  int64_t count_;
  std::vector<RecordBatch> batches_;
  const hash::CodeTable::StoredKeys* parents_view_;
};

// Asks the cache for what the table will read for fields `first`..`last`
// of the batch's `n` records, stage by stage over the whole batch.
void prefetch_fields(const BatchKeys& batch, size_t n, size_t first, size_t last, const hash::CodeTable& table) {
  for (int stage = 0; stage < hash::CodeTable::kPrefetchStages; ++stage)
    for (size_t i = 0; i < n; ++i)
      for (size_t k = first; k <= last; ++k) table.prefetch(batch.field(i, k), stage);
}

// The code table's id of a population or period code.
int32_t kind_id(const hash::Key& code, CodeMemo<6>& memo, hash::ModuleHash& hash, CodeStore& codes) {
  if (const int32_t id = memo.find(code); id != 0) return id;
  const int32_t id = codes.look_up(hash, code, false).id;
  if (id != 0) memo.remember(code, id);
  return id;
}

// The number of a parent code: 0 for an unknown parent, otherwise the
// animal of that code, added as a founder when it has no record.
using ParentMemo = CodeMemo<16>;

// The two passes and what they share.
class Loader {
 public:
  Loader(RecordSource& source, const UnknownParents& unknown, hash::ModuleHash& hash, CodeStore& codes,
         const Report& report, unsigned workers)
      : source_(source), unknown_(unknown), hash_(hash), codes_(codes), report_(report), workers_(workers) {}

  Pedigree load(int32_t R) {
    ped_.period.push_back(0);
    ped_.pop.push_back(0);
    animal_pass(R);
    parent_pass();
    if (ped_.sire.empty()) {  // no records
      ped_.sire.assign(static_cast<size_t>(ped_.n) + 1, 0);
      ped_.dam.assign(static_cast<size_t>(ped_.n) + 1, 0);
    }
    return std::move(ped_);
  }

 private:
  // Room for the animals of R records and some founders, so that no array
  // and no index grows on the way.
  void reserve_for(int32_t R) {
    const size_t expected = static_cast<size_t>(R) + static_cast<size_t>(R) / 8 + 1;
    ped_.period.reserve(expected);
    ped_.pop.reserve(expected);
    codes_.an2hash.reserve(expected);
    codes_.table.reserve(codes_.table.ids() + static_cast<int32_t>(std::min<size_t>(expected, INT32_MAX / 2)));
    record_animal_.reserve(static_cast<size_t>(R));
  }

  // The animal pass numbers the animals; per record it keeps the number of
  // the record's animal, so that the parent pass need not look it up again.
  void animal_pass(int32_t R) {
    const FieldNumbers& fn = source_.fn;
    CodeMemo<6> periods, pops;
    report_.progress.stage("animals", R);
    source_.file.start_pass("animal");
    enum : size_t { kAnimal, kPeriod, kPop };
    BatchedPass pass(source_, {fn.animal, fn.period, fn.pop}, nullptr, true, R);
    pass.run(workers_, [&](const BatchKeys& batch) {
      // Room for every animal, made while the first records are read.
      if (batch.first() == 1) reserve_for(R);
      const int64_t first = batch.first();
      const size_t n = batch.size();
      prefetch_fields(batch, n, kAnimal, kAnimal, codes_.table);
      for (size_t i = 0; i < n; ++i) {
        const int64_t record = first + static_cast<int64_t>(i);
        if (record % kProgressRecords == 0) advance(report_.progress, kProgressRecords);

        const hash::Key& code = batch.field(i, kAnimal);
        if (code.text.empty()) stop_with_line(report_, FreeLine().text(" ERROR: No animal code in record ").num(record).str());
        hash::Hit hit = codes_.look_up(hash_, code, true);
        int32_t& number = CodeStore::entry(codes_.hash2an, hit.id);
        if (number != 0) {
          record_animal_.push_back(number);
          report_.log.write(FreeLine()
                                .text(" WARNING: Animal appears in list more than once! ")
                                .text(source_.file.whole_code(code.text))
                                .text(" - ignored.")
                                .str());
          continue;
        }
        number = ++ped_.n;
        record_animal_.push_back(number);
        codes_.an2hash.push_back(hit.id);

        const int32_t period = kind_id(batch.field(i, kPeriod), periods, hash_, codes_);
        const int32_t pop = kind_id(batch.field(i, kPop), pops, hash_, codes_);
        // Every population and period code was stored by the scan from these
        // same records; a miss means the file changed under us.
        if (period == 0 || pop == 0) {
          stop_with_line(report_, FreeLine().text(" ERROR: No population or period code in record ").num(record).str());
        }
        ped_.period.push_back(CodeStore::entry(codes_.hash2period, period));
        ped_.pop.push_back(CodeStore::entry(codes_.hash2pop, pop));
      }
    });
    report_.progress.advance(R % kProgressRecords);
    expect_no_more_records(source_, R);
  }

  void parent_pass() {
    const FieldNumbers& fn = source_.fn;
    report_.progress.stage("parents", static_cast<int64_t>(record_animal_.size()));
    source_.file.start_pass("parent");
    int64_t record = 0;
    enum : size_t { kAnimal, kSire, kDam };
    // The same records as in the animal pass: their animals are known.
    const int64_t R = static_cast<int64_t>(record_animal_.size());
    // With a reading thread, the parent codes are looked up on it where
    // it can: every animal with a record is in the table by now.
    std::optional<hash::CodeTable::StoredKeys> view;
    if (workers_ > 1) view = codes_.table.stored_keys();
    BatchedPass pass(source_, {fn.animal, fn.sire, fn.dam}, &unknown_, false, R, view ? &*view : nullptr);
    pass.run(workers_, [&](const BatchKeys& batch) {
      if (batch.first() == 1) {  // made while the first records are read
        ped_.sire.assign(static_cast<size_t>(ped_.n) + 1, 0);
        ped_.dam.assign(static_cast<size_t>(ped_.n) + 1, 0);
      }
      const int64_t first = batch.first();
      const size_t n = batch.size();
      prefetch_parents(batch, n);
      for (size_t i = 0; i < n; ++i) {
        const int32_t a = record_animal_[static_cast<size_t>(first) - 1 + i];
        if (ped_.sire[a] != 0) continue;
        ++record;
        if (record % kProgressRecords == 0) advance(report_.progress, kProgressRecords);

        std::string_view code = batch.field(i, kAnimal).text;
        const int32_t sire = parent_of(batch, i, kSire, code, ": Sire not found: ");
        const int32_t dam = parent_of(batch, i, kDam, code, ": Dam not found: ");
        // A repeated record never erases a parent that an earlier one gave.
        if (sire != 0) ped_.sire[a] = sire;
        if (dam != 0) ped_.dam[a] = dam;
      }
    });
    report_.progress.advance(record % kProgressRecords);
    expect_no_more_records(source_, R);
    source_.file.check_unchanged("as the parent pass ended");
    report_.log.write(FreeLine().text(" New number of animals in pedigree: ").num(ped_.n).str());
  }

  // The memory a batch's known parent codes will need: their memo entries,
  // and for codes not in the memo (the memo holds the sires used again and
  // again) the table's memory and the animal numbers of those stored.
  void prefetch_parents(const BatchKeys& batch, size_t n) const {
    constexpr size_t kFirst = 1, kLast = 2;
    // Codes of unknown parents need nothing; the others their memo entries.
    std::array<bool, RecordBatch::kRecords * RecordBatch::kFields> remembered{};
    for (size_t i = 0; i < n; ++i)
      for (size_t k = kFirst; k <= kLast; ++k) {
        remembered[i * RecordBatch::kFields + k] = batch.unknown_parent(i, k);
        if (!batch.unknown_parent(i, k)) parents_.prefetch(batch.field(i, k).hash);
      }
    for (size_t i = 0; i < n; ++i)
      for (size_t k = kFirst; k <= kLast; ++k)
        if (!remembered[i * RecordBatch::kFields + k]) codes_.table.prefetch(batch.field(i, k), 0);
    for (size_t i = 0; i < n; ++i)
      for (size_t k = kFirst; k <= kLast; ++k)
        if (!remembered[i * RecordBatch::kFields + k])
          remembered[i * RecordBatch::kFields + k] = parents_.find(batch.field(i, k)) != 0;
    for (int stage = 1; stage < hash::CodeTable::kPrefetchStages; ++stage)
      for (size_t i = 0; i < n; ++i)
        for (size_t k = kFirst; k <= kLast; ++k)
          if (!remembered[i * RecordBatch::kFields + k]) codes_.table.prefetch(batch.field(i, k), stage);
    for (size_t i = 0; i < n; ++i) {
      for (size_t k = kFirst; k <= kLast; ++k) {
        if (remembered[i * RecordBatch::kFields + k]) continue;
        if (const auto id = static_cast<size_t>(codes_.table.peek(batch.field(i, k)));
            id != 0 && id < codes_.hash2an.size())
          __builtin_prefetch(&codes_.hash2an[id]);
      }
    }
  }

  // The parent in field k of record i: 0 for an unknown parent. A code
  // with a hyphen is an unknown parent by the classic rule, but where an
  // animal with a record has that code, the option interface takes that
  // animal (DE-1234); either way it is counted for a note.
  int32_t parent_of(const BatchKeys& batch, size_t i, size_t k, std::string_view animal, const char* not_found) {
    if (!batch.unknown_parent(i, k)) return parent_number(batch.field(i, k), animal, not_found);
    if (!batch.unknown_by_hyphen_only(i, k)) return 0;
    const auto id = static_cast<size_t>(codes_.table.peek(batch.field(i, k)));
    const int32_t number = id != 0 && id < codes_.hash2an.size() ? codes_.hash2an[id] : 0;
    CodeStore::HyphenParents& noted = codes_.hyphen_parents;
    if (number == 0 || ped_.pop[number] == 0) {
      ++noted.without_record;
      return 0;
    }
    if (noted.uses++ == 0) noted.first = source_.file.whole_code(batch.field(i, k).text);
    noted.read_as_animals = source_.file.line_format() != nullptr;
    return noted.read_as_animals ? number : 0;
  }

  // The number of a known parent's code; `animal`: the record's animal
  // code, without trailing blanks.
  int32_t parent_number(const hash::Key& parent, std::string_view animal, const char* not_found) {
    if (const int32_t known = parents_.find(parent); known != 0) return known;
    hash::Hit hit = codes_.look_up(hash_, parent, true);
    int32_t& number = CodeStore::entry(codes_.hash2an, hit.id);
    if (number != 0) {
      parents_.remember(parent, number);
      return number;
    }
    const PedigreeFile& file = source_.file;
    report_.log.write(
        FreeLine().text(" Animal: ").text(file.whole_code(animal)).text(not_found).text(file.whole_code(parent.text)).str());
    number = ++ped_.n;
    codes_.an2hash.push_back(hit.id);
    ped_.period.push_back(0);
    ped_.pop.push_back(0);
    ped_.sire.push_back(0);
    ped_.dam.push_back(0);
    parents_.remember(parent, number);
    return number;
  }

  RecordSource& source_;
  const UnknownParents& unknown_;
  hash::ModuleHash& hash_;
  CodeStore& codes_;
  const Report& report_;
  const unsigned workers_;
  Pedigree ped_;
  std::vector<int32_t> record_animal_;
  ParentMemo parents_;
};

}  // namespace

bool REALPARENT(std::string_view code) {
  if (code.find('-') != std::string_view::npos) return false;
  return rtrim(code) != "0";
}

Pedigree load_animals(RecordSource& source, const UnknownParents& unknown, int32_t R, hash::ModuleHash& hash,
                      CodeStore& codes, const Report& report, unsigned threads) {
  return Loader(source, unknown, hash, codes, report, worker_count(threads)).load(R);
}

}  // namespace vm::input
