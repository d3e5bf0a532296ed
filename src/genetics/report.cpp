// Every line of the genetic stage: the screen line per period, the log's
// counts and relationship matrices, and the result table.
#include <cmath>
#include <string>

#include "common/format.h"
#include "genetics/genetics.h"

namespace vm::genetics {
namespace {

constexpr size_t kLabelWidth = kCodeWidth;
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
                       results.get(results.maxdriftvar, I, J, a), results.get(results.index, I, J, a));
  }
  block += FreeLine().str();
  block += FreeLine().str();
  out.write(block);
}

// A row of the result table after its period's column.
std::string figures_text(double driftvar, double maxdriftvar, double index) {
  std::string text = "|";
  append_F(text, driftvar, 15, 6);
  text += " |";
  append_F(text, maxdriftvar, 15, 6);
  text += " |";
  append_F(text, index, 15, 2);
  text += " |\n";
  return text;
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
  for (double v : values) append_F(line, v, 12, 4);
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
  // A pair with a population empty in the period has figures of +0.0: with
  // many small periods most rows are such, and their text is made once.
  static const std::string zeros = figures_text(0.0, 0.0, 0.0);
  const bool zero = driftvar == 0.0 && maxdriftvar == 0.0 && index == 0.0 && !std::signbit(driftvar) &&
                    !std::signbit(maxdriftvar) && !std::signbit(index);
  line += zero ? zeros : figures_text(driftvar, maxdriftvar, index);
  return line;
}

double result_table_bytes(int32_t Q, int32_t P) {
  const std::string blank = FreeLine().str();
  const double heading = static_cast<double>(4 * blank.size() + std::string_view(kTableHead).size() +
                                             FreeLine().text(" Pair of populations :").text(pad("", kLabelWidth)).str().size());
  const double row = static_cast<double>(table_row("", 0.0, 0.0, 0.0).size());
  return static_cast<double>(Q) * (Q - 1) / 2 * (heading + row * P);
}

std::vector<Pair> pairs_in_table_order(int32_t Q) {
  std::vector<Pair> pairs;
  for (int32_t I = 2; I <= Q; ++I)
    for (int32_t J = 1; J < I; ++J) pairs.push_back({I, J});
  return pairs;
}

void write_result_table(const DriftResults& results, const Names& names, Sink& out) {
  for (const Pair p : pairs_in_table_order(results.Q)) write_pair_block(results, names, p.I, p.J, out);
}

}  // namespace vm::genetics
