// The whole run on a small pedigree held in memory: the first five bytes
// choose the field numbers (-1 to 6), the rest is the pedigree file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/sink.h"
#include "driver/run.h"
#include "input/record_reader.h"
#include "input/scan.h"

using namespace vm;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A row of the result table holds the period's name in 15 columns and
// then only numbers, which are never NaN or infinite.
bool table_has_non_number(const std::string& table) {
  size_t begin = 0;
  while (begin < table.size()) {
    size_t end = table.find('\n', begin);
    if (end == std::string::npos) end = table.size();
    std::string_view line(table.data() + begin, end - begin);
    if (line.size() == 67 && line[15] == '|') {
      std::string_view numbers = line.substr(15);
      if (numbers.find("NaN") != std::string_view::npos || numbers.find("Inf") != std::string_view::npos) return true;
    }
    begin = end + 1;
  }
  return false;
}

// Notes on the data ("velmora: warning: ...") may come in any run; a
// finished run or a stop of the program's own writes nothing else there.
bool only_warnings(const std::string& errors) {
  for (size_t begin = 0; begin < errors.size();) {
    if (errors.compare(begin, 18, "velmora: warning: ") != 0) return false;
    const size_t end = errors.find('\n', begin);
    begin = end == std::string::npos ? errors.size() : end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  input::FieldNumbers fn{data[0] % 8 - 1, data[1] % 8 - 1, data[2] % 8 - 1, data[3] % 8 - 1, data[4] % 8 - 1};
  std::string pedigree_text(reinterpret_cast<const char*>(data) + 5, size - 5);
  // The result arrays grow with the cube of the number of distinct codes;
  // a hundred lines keep one run small.
  size_t lines = 0;
  for (char c : pedigree_text) lines += c == '\n';
  if (lines > 100) return 0;

  input::PedigreeFile pedigree;
  pedigree.open_memory(std::move(pedigree_text));
  StringSink screen, log, output, channel9, errors;
  const int status = run_pipeline_for_test(pedigree, fn, screen, log, output, channel9, errors);

  if (status == 0) {
    check(only_warnings(errors.data));
    const bool finished = ends_with(screen.data, "\nFinished.\n");
    check(finished || ends_with(screen.data, "\nProgram has terminated\n") ||
          ends_with(screen.data, "Unit           11\n"));
    if (!finished) check(output.data.empty());
    check(!table_has_non_number(output.data));
  } else {
    // A file error or the code table's exit report, never silence.
    check(!errors.data.empty());
    // (A code may well read "Finished."; the too-long message shows it.)
    check(!ends_with(screen.data, "\nFinished.\n"));
  }
  return 0;
}
