#include <array>
#include <cstring>
#include <string>

#include "common/flat_table.h"
#include "common/format.h"
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
  int32_t find(std::string_view code) const {
    const Entry& e = entries_[slot(code)];
    return e.value != 0 && std::memcmp(e.code.data(), code.data(), kFieldWidth) == 0 ? e.value : 0;
  }
  void remember(std::string_view code, int32_t value) {
    Entry& e = entries_[slot(code)];
    std::memcpy(e.code.data(), code.data(), kFieldWidth);
    e.value = value;
  }

 private:
  struct Entry {
    std::array<char, kFieldWidth> code{};
    int32_t value = 0;
  };
  static size_t slot(std::string_view code) { return static_cast<size_t>(hash_text(code.substr(0, kFieldWidth)) >> (64 - kBits)); }
  std::vector<Entry> entries_ = std::vector<Entry>(size_t{1} << kBits);
};

// The code table's id of a population or period code.
int32_t kind_id(std::string_view code, CodeMemo<6>& memo, hash::ModuleHash& hash, CodeStore& codes) {
  if (const int32_t id = memo.find(code); id != 0) return id;
  const int32_t id = codes.look_up(hash, code, false).id;
  if (id != 0) memo.remember(code, id);
  return id;
}

// The number of a parent code: 0 for an unknown parent, otherwise the
// animal of that code, added as a founder when it has no record.
using ParentMemo = CodeMemo<14>;

// The two passes and what they share.
class Loader {
 public:
  Loader(RecordSource& source, const UnknownParents& unknown, hash::ModuleHash& hash, CodeStore& codes,
         const Report& report)
      : source_(source), unknown_(unknown), hash_(hash), codes_(codes), report_(report) {}

  Pedigree load(int32_t R) {
    const size_t expected = static_cast<size_t>(R) + static_cast<size_t>(R) / 8 + 1;
    ped_.period.reserve(expected);
    ped_.pop.reserve(expected);
    ped_.period.push_back(0);
    ped_.pop.push_back(0);
    codes_.an2hash.reserve(expected);
    record_animal_.reserve(static_cast<size_t>(R));
    animal_pass(R);
    ped_.sire.assign(static_cast<size_t>(ped_.n) + 1, 0);
    ped_.dam.assign(static_cast<size_t>(ped_.n) + 1, 0);
    parent_pass();
    return std::move(ped_);
  }

 private:
  // The animal pass numbers the animals; per record it keeps the number of
  // the record's animal, so that the parent pass need not look it up again.
  void animal_pass(int32_t R) {
    Fields& fields = source_.fields;
    const FieldNumbers& fn = source_.fn;
    CodeMemo<6> periods, pops;
    report_.screen.write(FreeLine().text("Reading animals ...").str());
    source_.file.start_pass("animal");
    for (int64_t record = 1; record <= R; ++record) {
      fields.blank();
      read_counted_record(source_, record, R);
      if (record % kProgressRecords == 0) report_.screen.write(FreeLine().num(record).str());

      std::string_view code = fields.get(fn.animal);
      if (is_blank(code)) stop_with_line(report_, FreeLine().text(" ERROR: No animal code in record ").num(record).str());
      hash::Hit hit = codes_.look_up(hash_, code, true);
      int32_t& number = CodeStore::entry(codes_.hash2an, hit.id);
      if (number != 0) {
        record_animal_.push_back(number);
        report_.log.write(FreeLine()
                              .text(" WARNING: Animal appears in list more than once! ")
                              .text(rtrim(code))
                              .text(" - ignored.")
                              .str());
        continue;
      }
      number = ++ped_.n;
      record_animal_.push_back(number);
      codes_.an2hash.push_back(hit.id);

      const int32_t period = kind_id(fields.get(fn.period), periods, hash_, codes_);
      const int32_t pop = kind_id(fields.get(fn.pop), pops, hash_, codes_);
      // Every population and period code was stored by the scan from these
      // same records; a miss means the file changed under us.
      if (period == 0 || pop == 0) {
        stop_with_line(report_, FreeLine().text(" ERROR: No population or period code in record ").num(record).str());
      }
      ped_.period.push_back(CodeStore::entry(codes_.hash2period, period));
      ped_.pop.push_back(CodeStore::entry(codes_.hash2pop, pop));
    }
    expect_no_more_records(source_, R);
  }

  void parent_pass() {
    Fields& fields = source_.fields;
    const FieldNumbers& fn = source_.fn;
    report_.screen.write(FreeLine().text(" Reading pedigree ...").str());
    source_.file.start_pass("parent");
    int64_t record = 0;
    // The same records as in the animal pass: their animals are known.
    const int64_t R = static_cast<int64_t>(record_animal_.size());
    for (int64_t r = 1; r <= R; ++r) {
      const int32_t a = record_animal_[static_cast<size_t>(r - 1)];
      // Blanked before every read, so that an empty parent value is an
      // unknown parent and never the previous record's parent.
      fields.blank();
      read_counted_record(source_, r, R);
      std::string_view code = fields.get(fn.animal);
      if (ped_.sire[a] != 0) continue;
      ++record;
      if (record % kProgressRecords == 0) report_.screen.write(FreeLine().num(record).str());

      const int32_t sire = parent_number(fields.get(fn.sire), code, ": Sire not found: ");
      const int32_t dam = parent_number(fields.get(fn.dam), code, ": Dam not found: ");
      // A repeated record never erases a parent that an earlier one gave.
      if (sire != 0) ped_.sire[a] = sire;
      if (dam != 0) ped_.dam[a] = dam;
    }
    expect_no_more_records(source_, R);
    source_.file.check_unchanged("as the parent pass ended");
    report_.log.write(FreeLine().text(" New number of animals in pedigree: ").num(ped_.n).str());
  }

  int32_t parent_number(std::string_view parent, std::string_view animal, const char* not_found) {
    if (is_blank(parent) || unknown_.is_unknown(parent)) return 0;
    if (const int32_t known = parents_.find(parent); known != 0) return known;
    hash::Hit hit = codes_.look_up(hash_, parent, true);
    int32_t& number = CodeStore::entry(codes_.hash2an, hit.id);
    if (number != 0) {
      parents_.remember(parent, number);
      return number;
    }
    report_.log.write(FreeLine().text(" Animal: ").text(rtrim(animal)).text(not_found).text(rtrim(parent)).str());
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
                      CodeStore& codes, const Report& report) {
  return Loader(source, unknown, hash, codes, report).load(R);
}

}  // namespace vm::input
