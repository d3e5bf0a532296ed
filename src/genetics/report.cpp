// Every line of the genetic stage: the screen line per period, the log's
// counts and relationship matrices, and the result table.
#include <string>

#include "common/format.h"
#include "genetics/genetics.h"

namespace vm::genetics {
namespace {

constexpr size_t kLabelWidth = 25;
constexpr size_t kPeriodColumn = 15;

const char* const kTableHead =
    " Period        |  genetic drift |  max genetic   |   Population   |\n"
    "               |  var betw pops |  drift var     | Different Index|\n"
    "===================================================================\n";

void write_pair_block(const DriftResults& results, const Names& names, int32_t I, int32_t J, Sink& out) {
  std::string block = FreeLine().str();
  block += FreeLine().text(" Pair of populations :").text(pair_label(names.pop[I], names.pop[J])).str();
  block += FreeLine().str();
  block += kTableHead;
  for (int32_t a = 1; a <= results.P; ++a) {
    block += table_row(names.period[a], results.get(results.driftvar, I, J, a),
                       results.get(results.maxdriftvar, I, J, a), results.get(results.velmora, I, J, a));
  }
  block += FreeLine().str();
  block += FreeLine().str();
  out.write(block);
}

}  // namespace

std::string period_screen_line(std::string_view period) {
  return FreeLine().text(" Calculating drift variance between populations for: ").text(rtrim(period)).str();
}

std::string count_line(std::string_view pop, int64_t count) {
  return FreeLine()
      .text(" Number of individuals in population ")
      .text(rtrim(pop))
      .text(" in this period is ")
      .num(count)
      .str();
}

std::string period_heading(std::string_view period) {
  std::string line = " Period: ";
  line += rtrim(period);
  line += '\n';
  return line;
}

std::string matrix_row(std::string_view pop, std::span<const double> values) {
  std::string line(rtrim(pop));
  line.reserve(line.size() + 12 * values.size() + 1);
  for (double v : values) line += fmt_F(v, 12, 4);
  line += '\n';
  return line;
}

// A name longer than a code field (only the option interface keeps such
// names) is written whole, as cutting it could make two names one; names
// that fit a field keep the table's fixed columns.
bool longer_than_a_field(std::string_view name) { return rtrim(name).size() > kLabelWidth; }

std::string pair_label(std::string_view first, std::string_view second) {
  std::string label(rtrim(first));
  label += " & ";
  label += rtrim(second);
  if (longer_than_a_field(first) || longer_than_a_field(second)) return label;
  return pad(label, kLabelWidth);
}

std::string table_row(std::string_view period, double driftvar, double maxdriftvar, double index) {
  std::string line = longer_than_a_field(period) ? std::string(rtrim(period)) : pad(period, kPeriodColumn);
  line += '|';
  line += fmt_F(driftvar, 15, 6);
  line += " |";
  line += fmt_F(maxdriftvar, 15, 6);
  line += " |";
  line += fmt_F(index, 15, 2);
  line += " |\n";
  return line;
}

void write_result_table(const DriftResults& results, const Names& names, Sink& out) {
  for (int32_t I = 2; I <= results.Q; ++I)
    for (int32_t J = 1; J < I; ++J) write_pair_block(results, names, I, J, out);
}

}  // namespace vm::genetics
