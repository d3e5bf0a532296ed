// Where the stages read the pedigree: the open file, the fields of the
// record just read, and which field holds what.
#pragma once

#include <cstdint>

#include "input/record_reader.h"

namespace vm::input {

// Field numbers of the run, each within 1..field count.
struct FieldNumbers {
  int32_t animal = 0, sire = 0, dam = 0, pop = 0, period = 0;
};

struct RecordSource {
  RecordSource(PedigreeFile& file, int32_t field_count, const FieldNumbers& fn) : file(file), fields(field_count), fn(fn) {}
  PedigreeFile& file;
  Fields fields;
  FieldNumbers fn;
};

}  // namespace vm::input
