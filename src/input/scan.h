// The pedigree scan: echo of the first ten records, record count,
// population and period codes numbered in text order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/sink.h"
#include "hash/module_hash.h"
#include "input/code_store.h"
#include "input/record_source.h"

namespace vm::input {

struct ScanResult {
  int32_t R = 0;  // records
  int32_t Q = 0;  // populations
  int32_t P = 0;  // periods
};

// The scan. Leaves `codes` holding every population and period code. A
// read error among the first ten records is a FileError; a record without a
// population or period code stops the run.
// Periods named in `dropped` (whole codes) leave the numbering: the others
// are numbered 1..P again in their order, and the animals of a dropped
// period belong to no group (they stay in the pedigree as ancestors).
// Returns the codes of `dropped` that are no period of the pedigree.
std::vector<std::string> drop_periods(CodeStore& codes, ScanResult& scan, const std::vector<std::string>& dropped);

// With `workers` above 1, the memory the loading will take for the
// records counted is faulted in beside the scan, on the core it leaves
// idle (see PagesAhead).
ScanResult scan_pedigree(RecordSource& source, hash::ModuleHash& hash, std::unique_ptr<CodeStore>& codes,
                         const Report& report, unsigned workers = 1);

// The passes after the counting pass read exactly the records it counted.
// Reads record `record` of `count` in the file's current pass; a read
// error, an early end of the file or a record that no longer reads ends the
// run (FileError naming the file, the pass and the line).
void read_counted_record(RecordSource& source, int64_t record, int64_t count);
// After the last counted record: a further record means the file grew.
void expect_no_more_records(RecordSource& source, int64_t count);

}  // namespace vm::input
