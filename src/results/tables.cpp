#include "results/tables.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "common/parallel.h"

namespace vm::results {
namespace {

// Rows are collected into blocks of about this size before each write.
constexpr size_t kBlockBytes = size_t{1} << 16;

void add_field(std::string& row, std::string_view text, char separator) {
  append_field(row, text, separator);
  row += separator;
}

void add_number(std::string& row, double v, bool exists) {
  if (exists) append_shortest(row, v);
  row += ',';
}

void add_count(std::string& row, int64_t n) {
  char buf[24];
  row.append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
  row += ',';
}

// A figure of the diversity tables: NaN is a figure that does not exist.
template <class Figures>
void add_statistic(std::string& row, const genetics::Statistic<Figures>& statistic, const Figures& figures) {
  const double v = statistic.of(figures);
  if (statistic.count) {
    add_count(row, static_cast<int64_t>(v));
  } else {
    add_number(row, v, !std::isnan(v));
  }
}

template <class Figures, size_t N>
std::string header_of(std::string_view first, const genetics::Statistic<Figures> (&statistics)[N]) {
  std::string header(first);
  for (const auto& statistic : statistics) header.append(",").append(statistic.name);
  return header + "\n";
}

void end_row(std::string& row) { row.back() = '\n'; }

void flush_if_full(std::string& block, Sink& out) {
  if (block.size() < kBlockBytes) return;
  out.write(block);
  block.clear();
}

}  // namespace

void append_field(std::string& out, std::string_view text, char separator) {
  const char special[] = {separator, '"', '\r', '\n'};
  if (text.find_first_of(std::string_view(special, sizeof special)) == std::string_view::npos) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void append_shortest(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v > 0 ? "Inf" : "-Inf";
  } else {
    char buf[32];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
  }
}

std::string shortest(double v) {
  std::string out;
  append_shortest(out, v);
  return out;
}

PerGroup<double> mean_inbreeding(const genetics::Diversity& figures) {
  const int32_t Q = figures.Q, P = figures.P;
  PerGroup<double> mean{Q, P, std::vector<double>(static_cast<size_t>(Q) * static_cast<size_t>(P))};
  for (int32_t I = 1; I <= Q; ++I) {
    for (int32_t t = 1; t <= P; ++t) {
      const genetics::GroupFigures& group = figures.group(I, t);
      mean.values[static_cast<size_t>(I - 1) * static_cast<size_t>(P) + static_cast<size_t>(t - 1)] =
          group.n == 0 ? std::nan("") : group.mean_inbreeding;
    }
  }
  return mean;
}

void write_csv(const genetics::DriftResults& results, const genetics::Names& names,
               Sink& out) {
  std::string block =
      "period,population_1,population_2,n_1,n_2,relationship_within_1,relationship_within_2,"
      "relationship_between,drift_variance,max_drift_variance,differentiation_index,nei_distance\n";
  for (const auto [I, J] : genetics::pairs_in_table_order(results.Q)) {
    for (int32_t a = 1; a <= results.P; ++a) {
      const int64_t n1 = results.animals_of(I, a), n2 = results.animals_of(J, a);
      const bool both = results.present(I, J, a);
      add_field(block, names.period[a], ',');
      add_field(block, names.pop[I], ',');
      add_field(block, names.pop[J], ',');
      add_count(block, n1);
      add_count(block, n2);
      add_number(block, results.get(results.mean_relationship, I, I, a), n1 > 0);
      add_number(block, results.get(results.mean_relationship, J, J, a), n2 > 0);
      add_number(block, results.get(results.mean_relationship, I, J, a), both);
      add_number(block, results.get(results.driftvar, I, J, a), both);
      add_number(block, results.get(results.maxdriftvar, I, J, a), both);
      add_number(block, results.get(results.index, I, J, a), both);
      add_number(block, both ? genetics::nei_distance(results, I, J, a) : 0.0, both);
      end_row(block);
      flush_if_full(block, out);
    }
  }
  out.write(block);
}

void write_inbreeding(const AnimalTable& animals, const genetics::Names& names, Sink& out, unsigned workers) {
  out.write(
      "animal\tsire\tdam\tpopulation\tperiod\tgeneration\tinbreeding\tequivalent_generations\tcomplete_generations\t"
      "maximum_generations\n");
  // The parents' codes are looked up at random; formatting blocks side by
  // side hides much of that wait.
  constexpr int32_t kAnimalsPerBlock = 8192;
  const unsigned blocks_per_round = 2 * std::max(workers, 1u);
  std::vector<std::string> blocks(blocks_per_round);
  auto parent = [&](int32_t p) { return p == 0 ? std::string_view("0") : animals.code(p); };
  auto group = [](const std::vector<std::string>& name, int32_t k) {
    return k != 0 ? std::string_view(name[static_cast<size_t>(k)]) : std::string_view();
  };
  auto format = [&](int32_t first, int32_t last, std::string& block) {
    block.clear();
    for (int32_t a = first; a <= last; ++a) {
      add_field(block, animals.code(a), '\t');
      add_field(block, parent(animals.sire[a]), '\t');
      add_field(block, parent(animals.dam[a]), '\t');
      add_field(block, group(names.pop, animals.pop[a]), '\t');
      add_field(block, group(names.period, animals.period[a]), '\t');
      char buf[16];
      block.append(buf, std::to_chars(buf, buf + sizeof buf, animals.generation[a]).ptr);
      block += '\t';
      append_shortest(block, animals.F[a]);
      block += '\t';
      append_shortest(block, animals.equivalent[a]);
      block += '\t';
      block.append(buf, std::to_chars(buf, buf + sizeof buf, animals.complete[a]).ptr);
      block += '\t';
      block.append(buf, std::to_chars(buf, buf + sizeof buf, animals.maximum[a]).ptr);
      block += '\n';
    }
  };
  for (int32_t round_start = 1; round_start <= animals.n;) {
    const int32_t round_end = static_cast<int32_t>(
        std::min<int64_t>(animals.n, int64_t{round_start} + int64_t{kAnimalsPerBlock} * blocks_per_round - 1));
    const size_t count = static_cast<size_t>((round_end - round_start) / kAnimalsPerBlock + 1);
    parallel_for(count, workers, [&](size_t b, unsigned) {
      const int32_t first = round_start + static_cast<int32_t>(b) * kAnimalsPerBlock;
      format(first, std::min(round_end, first + kAnimalsPerBlock - 1), blocks[b]);
    });
    for (size_t b = 0; b < count; ++b) out.write(blocks[b]);
    round_start = round_end + 1;
  }
}

void write_summary(const genetics::Diversity& diversity, const std::vector<genetics::GroupColumn>& columns,
                   const genetics::Names& names, Sink& out) {
  std::string block = "period,population";
  for (const genetics::GroupColumn& column : columns) block.append(",").append(column.name);
  block += '\n';
  for (int32_t a = 1; a <= diversity.P; ++a) {
    for (int32_t I = 1; I <= diversity.Q; ++I) {
      if (diversity.group(I, a).n == 0) continue;
      add_field(block, names.period[a], ',');
      add_field(block, names.pop[I], ',');
      const size_t g = static_cast<size_t>(a - 1) * static_cast<size_t>(diversity.Q) + static_cast<size_t>(I - 1);
      for (const genetics::GroupColumn& column : columns) {
        const double v = column.values[g];
        if (column.count && !std::isnan(v)) {
          add_count(block, static_cast<int64_t>(v));
        } else {
          add_number(block, v, !std::isnan(v));
        }
      }
      end_row(block);
      flush_if_full(block, out);
    }
  }
  out.write(block);
}

void write_fstatistics(const genetics::Diversity& diversity, const genetics::Names& names, Sink& out) {
  std::string block = header_of("period", genetics::kPeriodStatistics);
  for (int32_t a = 1; a <= diversity.P; ++a) {
    const genetics::PeriodFStatistics& f = diversity.periods[static_cast<size_t>(a - 1)];
    if (f.populations == 0) continue;
    add_field(block, names.period[a], ',');
    for (const auto& statistic : genetics::kPeriodStatistics) add_statistic(block, statistic, f);
    end_row(block);
    flush_if_full(block, out);
  }
  out.write(block);
}

}  // namespace vm::results
