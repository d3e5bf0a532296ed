// The pedigree file's first line and records: the field count, then every
// record read to the end of the file, twice (the passes rewind).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/stop.h"
#include "input/record_reader.h"

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
  return 0;
}
