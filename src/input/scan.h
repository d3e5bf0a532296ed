// Pedigree input stages: the scan (echo of the first ten records, record
// count, population and period codes numbered in text order) and the
// loading of animals and parents. Both use the one code table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/format.h"
#include "common/sink.h"
#include "hash/module_hash.h"
#include "input/record_reader.h"

namespace vm::input {

// Field numbers of the run, each within 1..field count.
struct FieldNumbers {
  int32_t animal = 0, sire = 0, dam = 0, pop = 0, period = 0;
};

// The code table with its per-kind maps. The maps are indexed by the code's
// id in the table (its storage order), which stands for its slot.
struct Codes {
  explicit Codes(int32_t slots) : table(slots) {}
  hash::CodeTable table;
  int32_t n_opslag = 0;
  std::vector<int32_t> hash2pop, hash2period, hash2an;  // by id; 0: not of that kind
  std::vector<int32_t> pop2hash, period2hash, an2hash;  // by number (from 1) to id

  // The map entry of an id, growing the map as the table grows.
  static int32_t& entry(std::vector<int32_t>& map, int32_t id) {
    if (static_cast<size_t>(id) >= map.size()) map.resize(static_cast<size_t>(id) + static_cast<size_t>(id) / 2 + 16, 0);
    return map[static_cast<size_t>(id)];
  }
  std::string_view pop_name(int32_t I) const { return table.code(pop2hash[I]); }
  std::string_view period_name(int32_t a) const { return table.code(period2hash[a]); }
  std::string_view animal_code(int32_t x) const { return table.code(an2hash[x]); }
};

struct ScanResult {
  int32_t R = 0;  // records
  int32_t Q = 0;  // populations
  int32_t P = 0;  // periods
};

// The scan. Leaves `codes` holding every population and period code. A read error among the first ten records is a
// FileError; a record without a population or period code stops the run.
ScanResult scan_pedigree(PedigreeFile& file, Fields& fields, const FieldNumbers& fn, hash::ModuleHash& hash,
                         std::unique_ptr<Codes>& codes, Sink& screen, Sink& log);

// The passes after the counting pass read exactly the records it counted.
// Reads record `record` of `count` in the file's current pass; a read
// error, an early end of the file or a record that no longer reads ends the
// run (FileError naming the file, the pass and the line).
void read_counted_record(PedigreeFile& file, Fields& fields, int64_t record, int64_t count);
// After the last counted record: a further record means the file grew.
void expect_no_more_records(PedigreeFile& file, Fields& fields, int64_t count);

// The animal pedigree in loading order.
struct Animals {
  int32_t n = 0;
  std::vector<int32_t> sire, dam;     // PED, 1..n
  std::vector<int32_t> period, pop;   // PPANIM, 1..n
};

// REALPARENT: false for a code that contains a hyphen or is "0".
bool REALPARENT(std::string_view code);

// The parent codes of a run that stand for an unknown parent: those that
// REALPARENT refuses, and the run's own marks (for example NA from other
// tools), compared without trailing blanks.
class UnknownParents {
 public:
  UnknownParents() = default;
  explicit UnknownParents(std::vector<std::string> marks) : marks_(std::move(marks)) {}
  bool is_unknown(std::string_view code) const {
    if (!REALPARENT(code)) return true;
    for (const std::string& mark : marks_) {
      if (rtrim(code) == mark) return true;
    }
    return false;
  }

 private:
  std::vector<std::string> marks_;
};

// The animal pass and the parent pass.
Animals load_animals(PedigreeFile& file, Fields& fields, const FieldNumbers& fn, const UnknownParents& unknown,
                     int32_t R, hash::ModuleHash& hash, Codes& codes, Sink& screen, Sink& log);

}  // namespace vm::input
