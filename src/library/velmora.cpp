// The public interface over the stages: a loaded run kept whole (codes,
// numbering, generations, F and D), its figures in 0-based arrays, and
// every ending of a stage as a velmora::Error.
#include <velmora/velmora.h>

#include <cstring>
#include <algorithm>
#include <new>
#include <unordered_map>
#include <utility>

#include "common/cpus.h"
#include "common/exit_info.h"
#include "common/format.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "common/stop.h"
#include "genetics/statistics.h"
#include "input/record_reader.h"
#include "library/compute.h"
#include "pedigree/renumber.h"

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0.0.0"
#endif

namespace velmora {

struct Pedigree::Impl {
  vm::Computed run;                    // in the new numbering, everything kept
  std::vector<int32_t> new_of_loaded;  // by loading number
  std::vector<std::string> populations, periods, notes;
  std::vector<Pedigree::Column> animal_figures;
  vm::genetics::PedigreeDepth depth;  // in the new numbering
};

namespace {

using Kind = Error::Kind;

// The stages' own reports of why they stopped: the lines they wrote to
// the screen (the counts and announcements go to the Progress), without
// the last line that every stop ends with.
std::string stop_reason(const std::string& screen) {
  std::string reason;
  size_t start = 0;
  while (start < screen.size()) {
    size_t end = screen.find('\n', start);
    if (end == std::string::npos) end = screen.size();
    std::string_view line = vm::rtrim(std::string_view(screen).substr(start, end - start));
    while (line.starts_with(' ')) line.remove_prefix(1);
    if (!line.empty() && line != vm::kTerminated) {
      if (!reason.empty()) reason += ' ';
      reason += line;
    }
    start = end + 1;
  }
  return reason.empty() ? std::string("the pedigree cannot be used") : reason;
}

// Runs a stage with a screen of its own and turns its endings into Errors.
template <class Body>
auto guarded(Body body) {
  vm::StringSink screen;
  try {
    return body(screen);
  } catch (const Error&) {
    throw;
  } catch (const vm::Stop& stop) {
    throw Error(Kind::kData, stop_reason(screen.data + stop.message));
  } catch (const vm::FileError& error) {
    throw Error(Kind::kData, error.message);
  } catch (const vm::FatalExit& fatal) {
    throw Error(Kind::kData, stop_reason(fatal.message));
  } catch (const std::bad_alloc&) {
    throw Error(Kind::kMemory, "not enough memory for this pedigree");
  } catch (const std::length_error&) {
    throw Error(Kind::kMemory, "not enough memory for this pedigree");
  }
}

vm::input::Separator separator_of(char c) {
  switch (c) {
    case 0: return vm::input::Separator::kDetect;
    case '\t': return vm::input::Separator::kTab;
    case ',': return vm::input::Separator::kComma;
    case ';': return vm::input::Separator::kSemicolon;
    case ' ': return vm::input::Separator::kBlank;
    default:
      throw Error(Kind::kArgument, std::string("separator '") + c + "' is none of tab, ',', ';' and ' '");
  }
}

vm::input::LineRequest line_request(const ReadOptions& o) {
  using Header = vm::input::LineRequest::Header;
  vm::input::LineRequest request;
  request.separator = separator_of(o.separator);
  request.header = o.header == ReadOptions::Header::kYes ? Header::kYes
                   : o.header == ReadOptions::Header::kNo ? Header::kNo
                                                          : Header::kDetect;
  if (!o.field_names.empty()) {
    if (o.field_names.size() != 5) {
      throw Error(Kind::kArgument, "field_names needs five names (animal, sire, dam, population, period), not " +
                                       std::to_string(o.field_names.size()));
    }
    request.names = o.field_names;
    request.header = Header::kYes;
  }
  return request;
}

// Each animal's depth in generations, in loading order, as the inbreeding
// file lists it.
void add_generation_figures(Pedigree::Impl& impl) {
  const vm::genetics::PedigreeDepth& depth = impl.depth;
  const size_t n = impl.new_of_loaded.size() - 1;
  Pedigree::Column equivalent{"equivalent_generations", std::vector<double>(n)};
  Pedigree::Column complete{"complete_generations", std::vector<double>(n)};
  Pedigree::Column maximum{"maximum_generations", std::vector<double>(n)};
  for (size_t a = 1; a <= n; ++a) {
    const auto w = static_cast<size_t>(impl.new_of_loaded[a]);
    equivalent.values[a - 1] = depth.equivalent[w];
    complete.values[a - 1] = depth.complete[w];
    maximum.values[a - 1] = depth.maximum[w];
  }
  impl.animal_figures = {std::move(equivalent), std::move(complete), std::move(maximum)};
}

std::unique_ptr<Pedigree::Impl> load_file(vm::input::PedigreeFile& file, const ReadOptions& o, Progress* progress,
                                          vm::StringSink& screen) {
  vm::input::FieldNumbers fn{o.animal, o.sire, o.dam, o.population, o.period};
  const int32_t field_count = vm::input::read_line_layout(file, line_request(o), fn);
  for (int32_t number : {fn.animal, fn.sire, fn.dam, fn.pop, fn.period}) {
    if (number < 1 || number > field_count) {
      throw Error(Kind::kArgument, "pedigree file \"" + file.path() + "\": field number " + std::to_string(number) +
                                       " is outside its " + std::to_string(field_count) + " fields");
    }
  }
  vm::NullSink log, channel9;
  const vm::Report report{screen, log, progress != nullptr ? *progress : vm::no_progress()};
  vm::input::DataNotes notes(nullptr);
  vm::ComputeOptions options;
  options.threads = o.threads;
  options.unknown = vm::input::UnknownParents(o.unknown);
  options.drop_periods = o.drop_periods;
  options.notes = &notes;
  options.keep = true;
  options.option_run = true;
  if (line_request(o).header == vm::input::LineRequest::Header::kDetect) options.header.refuse_in = file.path();
  options.header.note = line_request(o).header == vm::input::LineRequest::Header::kNo;
  vm::input::RecordSource source(file, field_count, fn);

  auto impl = std::make_unique<Pedigree::Impl>();
  impl->run = vm::load_stages(source, report, channel9, options);
  const vm::Pedigree& ped = impl->run.pedigree;
  impl->new_of_loaded = vm::pedigree::new_of_loaded(ped);
  impl->populations.assign(impl->run.names.pop.begin() + 1, impl->run.names.pop.end());
  impl->periods.assign(impl->run.names.period.begin() + 1, impl->run.names.period.end());
  impl->notes = notes.texts();
  impl->depth = vm::genetics::pedigree_depth(ped);
  add_generation_figures(*impl);
  return impl;
}

}  // namespace

std::string_view version() { return VELMORA_VERSION; }

Pedigree::Pedigree() : impl_(std::make_unique<Impl>()) {}
Pedigree::Pedigree(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Pedigree::~Pedigree() = default;
Pedigree::Pedigree(Pedigree&&) noexcept = default;
Pedigree& Pedigree::operator=(Pedigree&&) noexcept = default;

Pedigree load_pedigree(std::unique_ptr<Pedigree::Impl> impl) { return Pedigree(std::move(impl)); }

Pedigree load(const std::string& path, const ReadOptions& options, Progress* progress) {
  return guarded([&](vm::StringSink& screen) {
    vm::input::PedigreeFile file;
    if (!file.open(path)) throw Error(Kind::kFile, "cannot open pedigree file \"" + path + "\": " + file.error());
    return load_pedigree(load_file(file, options, progress, screen));
  });
}

// The columns as the records of a tab-separated file in memory: the same
// reading and checks as a file, with the record number as the line.
Pedigree load(const Columns& columns, const ReadOptions& options, Progress* progress) {
  const std::span<const std::string_view> fields[] = {columns.animal, columns.sire, columns.dam, columns.population,
                                                      columns.period};
  const size_t records = columns.animal.size();
  size_t bytes = 0;
  for (const auto& field : fields) {
    if (field.size() != records) {
      throw Error(Kind::kArgument, "the columns have different lengths (" + std::to_string(records) + " animals, " +
                                       std::to_string(field.size()) + " in another column)");
    }
    for (std::string_view code : field) bytes += code.size() + 1;
  }
  // One pass that checks each code as it copies it: the bindings hand
  // over millions of codes, and find_first_of per code cost as much again
  // as the copy.
  auto breaks_line = [](std::string_view code) {
    bool found = false;
    for (char c : code) found |= c == '\t' || c == '\r' || c == '\n';
    return found;
  };
  std::string text(bytes, '\n');
  char* out = text.data();
  for (size_t r = 0; r < records; ++r) {
    for (const auto& field : fields) {
      const std::string_view code = field[r];
      if (breaks_line(code)) {
        throw Error(Kind::kArgument, "the code \"" + std::string(code.substr(0, 40)) +
                                         "\" holds a tab or a line end, which a code may not");
      }
      std::memcpy(out, code.data(), code.size());
      out += code.size();
      *out++ = '\t';
    }
    out[-1] = '\n';
  }
  ReadOptions reading = options;
  reading.animal = 1, reading.sire = 2, reading.dam = 3, reading.population = 4, reading.period = 5;
  reading.field_names.clear();
  reading.separator = '\t';
  reading.header = ReadOptions::Header::kNo;
  return guarded([&](vm::StringSink& screen) {
    vm::input::PedigreeFile file;
    file.open_memory(std::move(text));
    return load_pedigree(load_file(file, reading, progress, screen));
  });
}

size_t Pedigree::size() const { return static_cast<size_t>(impl_->run.pedigree.n); }
size_t Pedigree::records() const { return static_cast<size_t>(impl_->run.scan.R); }

namespace {
int32_t new_number(const Pedigree::Impl& impl, size_t animal) { return impl.new_of_loaded[animal + 1]; }
int64_t loaded_index(const vm::Pedigree& ped, int32_t w) { return w == 0 ? -1 : int64_t{ped.loaded_as[w]} - 1; }
}  // namespace

std::string_view Pedigree::code(size_t animal) const {
  return impl_->run.codes->animal_code(static_cast<int32_t>(animal) + 1);
}
int64_t Pedigree::sire(size_t animal) const {
  return loaded_index(impl_->run.pedigree, impl_->run.pedigree.sire[new_number(*impl_, animal)]);
}
int64_t Pedigree::dam(size_t animal) const {
  return loaded_index(impl_->run.pedigree, impl_->run.pedigree.dam[new_number(*impl_, animal)]);
}
int64_t Pedigree::population(size_t animal) const {
  return int64_t{impl_->run.pedigree.pop[new_number(*impl_, animal)]} - 1;
}
int64_t Pedigree::period(size_t animal) const {
  return int64_t{impl_->run.pedigree.period[new_number(*impl_, animal)]} - 1;
}
int32_t Pedigree::generation(size_t animal) const { return impl_->run.generation[animal + 1]; }
double Pedigree::inbreeding(size_t animal) const { return impl_->run.inbreeding.F[new_number(*impl_, animal)]; }
const std::vector<std::string>& Pedigree::populations() const { return impl_->populations; }
const std::vector<std::string>& Pedigree::periods() const { return impl_->periods; }
const std::vector<std::string>& Pedigree::notes() const { return impl_->notes; }
const std::vector<Pedigree::Column>& Pedigree::animal_figures() const { return impl_->animal_figures; }

Pedigree::Table Pedigree::table(unsigned threads) const {
  const size_t n = size();
  Table t;
  t.code.resize(n), t.sire.resize(n), t.dam.resize(n), t.population.resize(n), t.period.resize(n);
  t.generation.resize(n), t.inbreeding.resize(n);
  constexpr size_t kBlock = size_t{1} << 16;
  vm::parallel_for((n + kBlock - 1) / kBlock, vm::worker_count(threads), [&](size_t block, unsigned) {
    for (size_t i = block * kBlock; i < std::min(n, (block + 1) * kBlock); ++i) {
      t.code[i] = code(i);
      t.sire[i] = sire(i), t.dam[i] = dam(i);
      t.population[i] = population(i), t.period[i] = period(i);
      t.generation[i] = generation(i), t.inbreeding[i] = inbreeding(i);
    }
  });
  return t;
}

// The animals with a record come first, in the order of their first
// record: without repeated animals record r is animal r, otherwise the
// records are matched by code (blanks around a code are no part of it).
std::vector<int64_t> animals_of_records(const Pedigree& ped, const std::vector<std::string_view>& animal) {
  size_t with_record = 0;
  while (with_record < ped.size() && ped.population(with_record) >= 0) ++with_record;
  std::vector<int64_t> out(animal.size(), -1);
  if (with_record == animal.size()) {
    for (size_t r = 0; r < out.size(); ++r) out[r] = static_cast<int64_t>(r);
    return out;
  }
  std::unordered_map<std::string_view, int64_t> index;
  index.reserve(with_record);
  for (size_t i = 0; i < with_record; ++i) index.emplace(ped.code(i), static_cast<int64_t>(i));
  for (size_t r = 0; r < out.size(); ++r) {
    std::string_view code = animal[r];
    while (!code.empty() && (code.front() == ' ' || code.front() == '\t')) code.remove_prefix(1);
    while (!code.empty() && (code.back() == ' ' || code.back() == '\t')) code.remove_suffix(1);
    if (const auto found = index.find(code); found != index.end()) out[r] = found->second;
  }
  return out;
}

double Results::pair_value(const std::vector<double>& v, PairIndex pair, size_t period) const {
  const size_t k = pair.first * (pair.first - 1) / 2 + pair.second;
  return v[k * periods.size() + period];
}

namespace {

// The internal results (from 1, absent as 0.0 beside a count of 0) as
// the public ones.
Results public_results(const vm::Computed& run, const vm::genetics::DriftResults& drift,
                       std::vector<GroupColumn> groups) {
  Results r;
  const size_t Q = static_cast<size_t>(drift.Q), P = static_cast<size_t>(drift.P);
  r.populations.assign(run.names.pop.begin() + 1, run.names.pop.end());
  r.periods.assign(run.names.period.begin() + 1, run.names.period.end());
  r.counts.resize(Q * P);
  auto number = [](size_t k) { return static_cast<int32_t>(k + 1); };
  for (size_t t = 0; t < P; ++t)
    for (size_t p = 0; p < Q; ++p) r.counts[t * Q + p] = drift.animals_of(number(p), number(t));
  r.mean_relationship.resize(Q * Q * P);
  for (size_t t = 0; t < P; ++t)
    for (size_t p = 0; p < Q; ++p)
      for (size_t q = 0; q < Q; ++q) {
        r.mean_relationship[(t * Q + p) * Q + q] =
            drift.present(number(p), number(q), number(t))
                ? drift.get(drift.mean_relationship, number(p), number(q), number(t))
                : kAbsent;
      }
  for (const auto [I, J] : vm::genetics::pairs_in_table_order(drift.Q))
    r.pairs.push_back({static_cast<size_t>(I - 1), static_cast<size_t>(J - 1)});
  const size_t pairs = r.pairs.size();
  r.drift.resize(pairs * P);
  r.max_drift.resize(pairs * P);
  r.differentiation.resize(pairs * P);
  r.nei.resize(pairs * P);
  for (size_t k = 0; k < pairs; ++k) {
    const auto I = static_cast<int32_t>(r.pairs[k].first + 1), J = static_cast<int32_t>(r.pairs[k].second + 1);
    for (size_t t = 0; t < P; ++t) {
      const auto tt = number(t);
      const bool present = drift.present(I, J, tt);
      r.drift[k * P + t] = present ? drift.get(drift.driftvar, I, J, tt) : kAbsent;
      r.max_drift[k * P + t] = present ? drift.get(drift.maxdriftvar, I, J, tt) : kAbsent;
      r.differentiation[k * P + t] = present ? drift.get(drift.index, I, J, tt) : kAbsent;
      r.nei[k * P + t] = present ? vm::genetics::nei_distance(drift, I, J, tt) : kAbsent;
    }
  }
  r.groups = std::move(groups);
  return r;
}

}  // namespace

Results analyse(const Pedigree& pedigree, const Options& options, Progress* progress) {
  return guarded([&](vm::StringSink& screen) {
    const vm::Computed& run = pedigree.impl().run;
    vm::NullSink log;
    const vm::Report report{screen, log, progress != nullptr ? *progress : vm::no_progress()};
    vm::ComputeOptions settings;
    settings.threads = options.threads;
    settings.period_lines = false;
    vm::genetics::FounderSums founders;
    const vm::genetics::DriftResults drift = vm::drift_stage(run, report, settings, &founders);
    const vm::genetics::Diversity diversity =
        vm::genetics::diversity(run.pedigree, run.inbreeding.F, pedigree.impl().depth, drift, founders);
    const vm::genetics::GroupMembers members(run.pedigree, drift.Q, drift.P);
    std::vector<GroupColumn> groups;
    for (vm::genetics::GroupColumn& column :
         vm::genetics::group_columns({run.pedigree, run.inbreeding, drift, diversity, members})) {
      groups.push_back({std::string(column.name), std::move(column.values)});
    }
    Results results = public_results(run, drift, std::move(groups));
    for (const auto& statistic : vm::genetics::kPeriodStatistics) {
      Results::PeriodColumn column{std::string(statistic.name), {}};
      for (const vm::genetics::PeriodFStatistics& f : diversity.periods) column.values.push_back(statistic.of(f));
      results.period_figures.push_back(std::move(column));
    }
    return results;
  });
}

std::vector<std::string> group_statistics() {
  std::vector<std::string> names;
  for (std::string_view name : vm::genetics::group_column_names()) names.emplace_back(name);
  return names;
}

}  // namespace velmora
