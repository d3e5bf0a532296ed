#include <array>
#include <cstring>
#include <string>

#include "common/flat_table.h"
#include "common/format.h"
#include "common/stop.h"
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
int32_t kind_id(std::string_view code, CodeMemo<6>& memo, hash::ModuleHash& hash, Codes& codes) {
  if (const int32_t id = memo.find(code); id != 0) return id;
  const int32_t id = hash.CHASHSUB(code, codes.table, codes.n_opslag, false).id;
  if (id != 0) memo.remember(code, id);
  return id;
}

// The animal pass numbers the animals; per record it keeps the number of
// the record's animal, so that the parent pass need not look it up again.
void animal_pass(PedigreeFile& file, Fields& fields, const FieldNumbers& fn, int32_t R, hash::ModuleHash& hash,
                 Codes& codes, Animals& animals, std::vector<int32_t>& record_animal, Sink& screen, Sink& log) {
  CodeMemo<6> periods, pops;
  screen.write(FreeLine().text("Reading animals ...").str());
  file.start_pass("animal");
  for (int64_t record = 1; record <= R; ++record) {
    fields.blank();
    read_counted_record(file, fields, record, R);
    if (record % kProgressRecords == 0) screen.write(FreeLine().num(record).str());

    std::string_view code = fields.get(fn.animal);
    if (is_blank(code)) stop_with_line(screen, log, FreeLine().text(" ERROR: No animal code in record ").num(record).str());
    hash::Hit hit = hash.CHASHSUB(code, codes.table, codes.n_opslag, true);
    int32_t& number = Codes::entry(codes.hash2an, hit.id);
    if (number != 0) {
      record_animal.push_back(number);
      log.write(FreeLine()
                    .text(" WARNING: Animal appears in list more than once! ")
                    .text(rtrim(code))
                    .text(" - ignored.")
                    .str());
      continue;
    }
    number = ++animals.n;
    record_animal.push_back(number);
    codes.an2hash.push_back(hit.id);

    const int32_t period = kind_id(fields.get(fn.period), periods, hash, codes);
    const int32_t pop = kind_id(fields.get(fn.pop), pops, hash, codes);
    // Every population and period code was stored by the scan from these
    // same records; a miss means the file changed under us.
    if (period == 0 || pop == 0) {
      stop_with_line(screen, log, FreeLine().text(" ERROR: No population or period code in record ").num(record).str());
    }
    animals.period.push_back(Codes::entry(codes.hash2period, period));
    animals.pop.push_back(Codes::entry(codes.hash2pop, pop));
  }
  expect_no_more_records(file, fields, R);
}

// The number of a parent code: 0 for an unknown parent, otherwise the
// animal of that code, added as a founder when it has no record.
using ParentMemo = CodeMemo<14>;

struct ParentLookup {
  const UnknownParents& unknown;
  hash::ModuleHash& hash;
  Codes& codes;
  ParentMemo memo;
};

int32_t parent_number(std::string_view parent, std::string_view animal, const char* not_found, ParentLookup& lookup,
                      Animals& animals, Sink& log) {
  if (is_blank(parent) || lookup.unknown.is_unknown(parent)) return 0;
  ParentMemo& memo = lookup.memo;
  Codes& codes = lookup.codes;
  if (const int32_t known = memo.find(parent); known != 0) return known;
  hash::Hit hit = lookup.hash.CHASHSUB(parent, codes.table, codes.n_opslag, true);
  int32_t& number = Codes::entry(codes.hash2an, hit.id);
  if (number != 0) {
    memo.remember(parent, number);
    return number;
  }
  log.write(FreeLine().text(" Animal: ").text(rtrim(animal)).text(not_found).text(rtrim(parent)).str());
  number = ++animals.n;
  codes.an2hash.push_back(hit.id);
  animals.period.push_back(0);
  animals.pop.push_back(0);
  animals.sire.push_back(0);
  animals.dam.push_back(0);
  memo.remember(parent, number);
  return number;
}

void parent_pass(PedigreeFile& file, Fields& fields, const FieldNumbers& fn, ParentLookup& lookup, Animals& animals,
                 const std::vector<int32_t>& record_animal, Sink& screen, Sink& log) {
  screen.write(FreeLine().text(" Reading pedigree ...").str());
  file.start_pass("parent");
  int64_t record = 0;
  // The same records as in the animal pass: their animals are known.
  const int64_t R = static_cast<int64_t>(record_animal.size());
  for (int64_t r = 1; r <= R; ++r) {
    const int32_t a = record_animal[static_cast<size_t>(r - 1)];
    // Blanked before every read, so that an empty parent value is an
    // unknown parent and never the previous record's parent.
    fields.blank();
    read_counted_record(file, fields, r, R);
    std::string_view code = fields.get(fn.animal);
    if (animals.sire[a] != 0) continue;
    ++record;
    if (record % kProgressRecords == 0) screen.write(FreeLine().num(record).str());

    const int32_t sire = parent_number(fields.get(fn.sire), code, ": Sire not found: ", lookup, animals, log);
    const int32_t dam = parent_number(fields.get(fn.dam), code, ": Dam not found: ", lookup, animals, log);
    // A repeated record never erases a parent that an earlier one gave.
    if (sire != 0) animals.sire[a] = sire;
    if (dam != 0) animals.dam[a] = dam;
  }
  expect_no_more_records(file, fields, R);
  file.check_unchanged("as the parent pass ended");
  log.write(FreeLine().text(" New number of animals in pedigree: ").num(animals.n).str());
}

}  // namespace

bool REALPARENT(std::string_view code) {
  if (code.find('-') != std::string_view::npos) return false;
  return rtrim(code) != "0";
}

Animals load_animals(PedigreeFile& file, Fields& fields, const FieldNumbers& fn, const UnknownParents& unknown,
                     int32_t R, hash::ModuleHash& hash, Codes& codes, Sink& screen, Sink& log) {
  Animals animals;
  const size_t expected = static_cast<size_t>(R) + static_cast<size_t>(R) / 8 + 1;
  animals.period.reserve(expected);
  animals.pop.reserve(expected);
  animals.period.push_back(0);
  animals.pop.push_back(0);
  codes.an2hash.reserve(expected);
  std::vector<int32_t> record_animal;
  record_animal.reserve(static_cast<size_t>(R));
  animal_pass(file, fields, fn, R, hash, codes, animals, record_animal, screen, log);
  animals.sire.assign(static_cast<size_t>(animals.n) + 1, 0);
  animals.dam.assign(static_cast<size_t>(animals.n) + 1, 0);
  ParentLookup lookup{unknown, hash, codes, {}};
  parent_pass(file, fields, fn, lookup, animals, record_animal, screen, log);
  return animals;
}

}  // namespace vm::input
