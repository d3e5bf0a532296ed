// The pedigree file's first line and records: the field count, then every
// record read to the end of the file, twice (the passes rewind); then the
// same file read a record per line, as the option interface reads it.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/stop.h"
#include "input/record_reader.h"
#include "input/record_source.h"

using namespace vm;
using namespace vm::input;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Every field of every record read up to the first non-ok status.
std::vector<std::string> read_all(PedigreeFile& file, Fields& fields, ReadStatus& last) {
  std::vector<std::string> records;
  for (;;) {
    last = read_record(file, fields);
    if (last != ReadStatus::kOk) return records;
    std::string record;
    for (int32_t k = 1; k <= fields.count(); ++k) {
      check(fields.get(k).size() == static_cast<size_t>(kFieldWidth));
      record.append(fields.get(k));
    }
    records.push_back(std::move(record));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PedigreeFile file;
  file.open_memory(std::string(reinterpret_cast<const char*>(data), size));

  StringSink screen;
  int32_t count = 0;
  bool stopped = false;
  try {
    count = GETNRFIELDS(file, screen);
  } catch (const Stop& stop) {
    check(stop.message.empty());
    stopped = true;
  }
  check(file.line_number() == 0);  // rewound
  if (stopped) {
    check(!screen.data.empty());
    // The record read does not depend on the field count's verdict.
    count = 3;
  }
  check(count >= 1 && count <= 5001);

  Fields fields(count);
  ReadStatus first_end, second_end;
  std::vector<std::string> first = read_all(file, fields, first_end);
  int64_t lines = file.line_number();
  file.rewind();
  fields.blank();
  std::vector<std::string> second = read_all(file, fields, second_end);
  check(first == second && first_end == second_end && lines == file.line_number());
  // Every record takes at least one line of its own.
  check(static_cast<int64_t>(first.size()) <= lines);

  // A record per line: a layout that can be read, or a FileError; every
  // record on its own line, and whole codes shown whole.
  PedigreeFile by_lines;
  by_lines.open_memory(std::string(reinterpret_cast<const char*>(data), size));
  FieldNumbers fn{1, 2, 3, 4, 5};
  try {
    const int32_t values = read_line_layout(by_lines, LineRequest{}, fn);
    check(values >= 1);
    Fields line_fields(values);
    int64_t records = 0;
    ReadFault fault;
    while (read_record(by_lines, line_fields, fault) == ReadStatus::kOk) {
      ++records;
      check(records <= by_lines.line_number());
      for (int32_t k = 1; k <= std::min(values, 5); ++k) {
        check(by_lines.whole_code(line_fields.get(k)).size() <= kMaxValueLength);
      }
    }
  } catch (const FileError&) {
  }
  return 0;
}
