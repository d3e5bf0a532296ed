// The R side of the library: columns of a data frame (or a file) in, data
// frames out. The computation runs on a thread of its own while R's thread
// waits for it, because the library's Progress calls may come from any of
// its workers and R's API may be touched from R's thread only: that one
// thread shows the progress and watches for an interrupt.
#include <Rcpp.h>
#include <R_ext/Utils.h>
#include <R_ext/Visibility.h>

#include <velmora/velmora.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

void check_interrupt(void*) { R_CheckUserInterrupt(); }

// R_CheckUserInterrupt jumps out of the function when the user pressed
// Ctrl-C; R_ToplevelExec catches that jump, so the worker can be told to
// stop and be waited for before R unwinds.
bool interrupt_pending() { return R_ToplevelExec(check_interrupt, nullptr) == FALSE; }

class Watch : public velmora::Progress {
 public:
  explicit Watch(bool verbose) : verbose_(verbose) {}

  void stage(std::string_view name, int64_t total) override {
    std::lock_guard<std::mutex> lock(mutex_);
    stage_.assign(name);
    total_ = total;
    done_ = 0;
    ++stage_number_;
  }
  void advance(int64_t units) override {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ += units;
  }
  bool stop_requested() override { return stop_.load(std::memory_order_relaxed); }

  // Runs `work` to its end on another thread; an interrupt meanwhile asks
  // it to stop and then becomes R's interrupt.
  template <class Work>
  auto run(Work work) -> decltype(work()) {
    auto result = std::async(std::launch::async, work);
    wait(result, result);
    return outcome(result);
  }

  // Waits until `step` (a part of `whole`, or `whole` itself) is ready;
  // whatever stops the wait first stops `whole` and waits for its end, so
  // that no worker outlives the call.
  template <class Step, class Whole>
  void wait(Step& step, Whole& whole) {
    bool interrupted = false;
    try {
      while (step.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (!interrupted && interrupt_pending()) {
          interrupted = true;
          stop_.store(true);
        }
        if (verbose_) report();
      }
    } catch (...) {
      // message() failed (a handler that signals an error).
      stop_.store(true);
      whole.wait();
      throw;
    }
    if (interrupted) {
      whole.wait();
      throw Rcpp::internal::InterruptedException();
    }
  }

  // What a ready future holds; the library's errors as R errors.
  template <class Future>
  static auto outcome(Future& ready) {
    try {
      return ready.get();
    } catch (const velmora::Error& error) {
      throw Rcpp::exception(error.what(), false);
    }
  }

  // For an R error in R's thread while `whole` runs.
  template <class Whole>
  void abandon(Whole& whole) {
    stop_.store(true);
    whole.wait();
  }

 private:
  // One message per stage as it begins, and one every few seconds in a
  // long one.
  void report() {
    std::string line;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto now = std::chrono::steady_clock::now();
      if (stage_number_ == shown_stage_ && now - shown_at_ < std::chrono::seconds(3)) return;
      if (stage_.empty()) return;
      line = "velmora: " + stage_;
      if (total_ > 0) line += " " + std::to_string(done_ * 100 / total_) + "%";
      shown_stage_ = stage_number_;
      shown_at_ = now;
    }
    Rcpp::Function message("message");
    message(line);
  }

  const bool verbose_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string stage_;
  int64_t total_ = 0, done_ = 0;
  int64_t stage_number_ = 0, shown_stage_ = 0;
  std::chrono::steady_clock::time_point shown_at_{};
};

// The five columns' codes copied into one text, with a view of each into
// it; NA is the empty code (an unknown parent, and a missing animal the
// loading refuses). R's strings lie wherever R allocated them, and a
// sire's string is that of its own record, far from the row that names
// it: one pass that fetches a few strings ahead reads them at the memory's
// pace, and the library then reads one text in order.
struct Codes {
  std::string text;
  std::vector<std::string_view> column[5];
};

void copy_codes(SEXP columns, Codes& codes) {
  constexpr R_xlen_t kAhead = 16;
  std::vector<std::pair<size_t, size_t>> at[5];  // offset and size, the text growing meanwhile
  for (int k = 0; k < 5; ++k) {
    SEXP column = VECTOR_ELT(columns, k);
    const R_xlen_t n = XLENGTH(column);
    const SEXP* strings = STRING_PTR_RO(column);
    at[k].resize(static_cast<size_t>(n));
    SEXP previous = nullptr;
    for (R_xlen_t i = 0; i < n; ++i) {
      if (i + kAhead < n) __builtin_prefetch(strings[i + kAhead]);
      SEXP string = strings[i];
      if (string == NA_STRING) {
        at[k][static_cast<size_t>(i)] = {0, 0};
        continue;
      }
      if (string == previous) {  // a population or period for many rows in a row
        at[k][static_cast<size_t>(i)] = at[k][static_cast<size_t>(i - 1)];
        continue;
      }
      const char* utf8 = Rf_translateCharUTF8(string);
      const size_t size = utf8 == CHAR(string) ? static_cast<size_t>(LENGTH(string)) : std::strlen(utf8);
      at[k][static_cast<size_t>(i)] = {codes.text.size(), size};
      codes.text.append(utf8, size);
      previous = string;
    }
  }
  for (int k = 0; k < 5; ++k) {
    codes.column[k].resize(at[k].size());
    for (size_t i = 0; i < at[k].size(); ++i)
      codes.column[k][i] = std::string_view(codes.text.data() + at[k][i].first, at[k][i].second);
  }
}

velmora::ReadOptions reading(SEXP unknown, int threads) {
  velmora::ReadOptions options;
  for (R_xlen_t i = 0; i < XLENGTH(unknown); ++i) {
    if (STRING_ELT(unknown, i) != NA_STRING) options.unknown.emplace_back(Rf_translateCharUTF8(STRING_ELT(unknown, i)));
  }
  options.threads = static_cast<unsigned>(threads);
  return options;
}

SEXP text(std::string_view s) { return Rf_mkCharLenCE(s.data(), static_cast<int>(s.size()), CE_UTF8); }

// The codes of a list of names as CHARSXPs, made once each.
SEXP texts(const std::vector<std::string>& names) {
  SEXP out = PROTECT(Rf_allocVector(STRSXP, static_cast<R_xlen_t>(names.size())));
  for (size_t i = 0; i < names.size(); ++i) SET_STRING_ELT(out, static_cast<R_xlen_t>(i), text(names[i]));
  UNPROTECT(1);
  return out;
}

// A data frame from named columns of equal length, without the checks and
// copies of data.frame().
class Frame {
 public:
  explicit Frame(R_xlen_t rows) : rows_(rows) {}
  SEXP add(const std::string& name, SEXPTYPE type) {
    SEXP column = Rf_allocVector(type, rows_);
    columns_.push_back(column);
    R_PreserveObject(column);
    names_.push_back(name);
    return column;
  }
  ~Frame() {
    for (SEXP column : columns_) R_ReleaseObject(column);
  }
  SEXP finish() {
    const R_xlen_t n = static_cast<R_xlen_t>(columns_.size());
    SEXP frame = PROTECT(Rf_allocVector(VECSXP, n));
    SEXP names = PROTECT(Rf_allocVector(STRSXP, n));
    for (R_xlen_t i = 0; i < n; ++i) {
      SET_VECTOR_ELT(frame, i, columns_[static_cast<size_t>(i)]);
      SET_STRING_ELT(names, i, Rf_mkCharCE(names_[static_cast<size_t>(i)].c_str(), CE_UTF8));
    }
    Rf_setAttrib(frame, R_NamesSymbol, names);
    SEXP row_names = PROTECT(Rf_allocVector(INTSXP, 2));
    INTEGER(row_names)[0] = NA_INTEGER;
    INTEGER(row_names)[1] = -static_cast<int>(rows_);
    Rf_setAttrib(frame, R_RowNamesSymbol, row_names);
    Rf_setAttrib(frame, R_ClassSymbol, Rf_mkString("data.frame"));
    UNPROTECT(3);
    return frame;
  }

 private:
  R_xlen_t rows_;
  std::vector<SEXP> columns_;
  std::vector<std::string> names_;
};

// The tidy table of the pairs, row for row the program's --csv table: a
// figure exists where both populations (for a within figure, its own) have
// animals in the period, and is NA elsewhere.
SEXP pairs_frame(const velmora::Results& r) {
  const size_t P = r.periods.size();
  const R_xlen_t rows = static_cast<R_xlen_t>(r.pairs.size() * P);
  Frame frame(rows);
  SEXP period = frame.add("period", STRSXP), first = frame.add("population_1", STRSXP),
       second = frame.add("population_2", STRSXP);
  double* n1 = REAL(frame.add("n_1", REALSXP));
  double* n2 = REAL(frame.add("n_2", REALSXP));
  double* within1 = REAL(frame.add("relationship_within_1", REALSXP));
  double* within2 = REAL(frame.add("relationship_within_2", REALSXP));
  double* between = REAL(frame.add("relationship_between", REALSXP));
  double* drift = REAL(frame.add("drift_variance", REALSXP));
  double* max_drift = REAL(frame.add("max_drift_variance", REALSXP));
  double* index = REAL(frame.add("differentiation_index", REALSXP));
  double* nei = REAL(frame.add("nei_distance", REALSXP));
  SEXP periods = PROTECT(texts(r.periods)), populations = PROTECT(texts(r.populations));
  auto value = [](bool exists, double v) { return exists ? v : NA_REAL; };
  R_xlen_t row = 0;
  for (const velmora::PairIndex& pair : r.pairs) {
    for (size_t t = 0; t < P; ++t, ++row) {
      const int64_t a = r.animals(pair.first, t), b = r.animals(pair.second, t);
      SET_STRING_ELT(period, row, STRING_ELT(periods, static_cast<R_xlen_t>(t)));
      SET_STRING_ELT(first, row, STRING_ELT(populations, static_cast<R_xlen_t>(pair.first)));
      SET_STRING_ELT(second, row, STRING_ELT(populations, static_cast<R_xlen_t>(pair.second)));
      n1[row] = static_cast<double>(a);
      n2[row] = static_cast<double>(b);
      within1[row] = value(a > 0, r.relationship(pair.first, pair.first, t));
      within2[row] = value(b > 0, r.relationship(pair.second, pair.second, t));
      between[row] = value(a > 0 && b > 0, r.relationship(pair.first, pair.second, t));
      drift[row] = value(a > 0 && b > 0, r.drift_variance(pair, t));
      max_drift[row] = value(a > 0 && b > 0, r.max_drift_variance(pair, t));
      index[row] = value(a > 0 && b > 0, r.index(pair, t));
      nei[row] = value(a > 0 && b > 0, r.nei_distance(pair, t));
    }
  }
  UNPROTECT(2);
  return frame.finish();
}

double present(double v) { return velmora::is_absent(v) ? NA_REAL : v; }

// One row per population and period with animals, every group statistic a
// column.
SEXP summary_frame(const velmora::Results& r) {
  const size_t Q = r.populations.size(), P = r.periods.size();
  std::vector<size_t> groups;  // t * Q + p
  for (size_t t = 0; t < P; ++t)
    for (size_t p = 0; p < Q; ++p)
      if (r.animals(p, t) >= 1) groups.push_back(t * Q + p);
  const R_xlen_t rows = static_cast<R_xlen_t>(groups.size());
  Frame frame(rows);
  SEXP period = frame.add("period", STRSXP), population = frame.add("population", STRSXP);
  SEXP periods = PROTECT(texts(r.periods)), populations = PROTECT(texts(r.populations));
  for (R_xlen_t row = 0; row < rows; ++row) {
    const size_t g = groups[static_cast<size_t>(row)];
    SET_STRING_ELT(period, row, STRING_ELT(periods, static_cast<R_xlen_t>(g / Q)));
    SET_STRING_ELT(population, row, STRING_ELT(populations, static_cast<R_xlen_t>(g % Q)));
  }
  for (const velmora::GroupColumn& column : r.groups) {
    double* out = REAL(frame.add(column.name, REALSXP));
    for (R_xlen_t row = 0; row < rows; ++row) out[row] = present(column.values[groups[static_cast<size_t>(row)]]);
  }
  UNPROTECT(2);
  return frame.finish();
}

SEXP fstatistics_frame(const velmora::Results& r) {
  const R_xlen_t rows = static_cast<R_xlen_t>(r.periods.size());
  Frame frame(rows);
  SEXP period = frame.add("period", STRSXP);
  for (R_xlen_t t = 0; t < rows; ++t) SET_STRING_ELT(period, t, text(r.periods[static_cast<size_t>(t)]));
  for (const velmora::Results::PeriodColumn& column : r.period_figures) {
    double* out = REAL(frame.add(column.name, REALSXP));
    for (R_xlen_t t = 0; t < rows; ++t) out[t] = present(column.values[static_cast<size_t>(t)]);
  }
  return frame.finish();
}

bool ascii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// The animals' figures in loading order, gathered off R's thread.
using AnimalColumns = velmora::Pedigree::Table;

// The animals in loading order. `input` is the animal column the records
// came from (R_NilValue for a file): where an animal's code is the one of
// the record at its place, that record's string is used, which spares
// making a million strings anew.
SEXP animals_frame(const velmora::Pedigree& ped, const AnimalColumns& a, SEXP input) {
  const size_t n = a.code.size();
  const R_xlen_t rows = static_cast<R_xlen_t>(n);
  Frame frame(rows);
  SEXP code = frame.add("code", STRSXP), sire = frame.add("sire", STRSXP), dam = frame.add("dam", STRSXP),
       population = frame.add("population", STRSXP), period = frame.add("period", STRSXP);
  const R_xlen_t given = input == R_NilValue ? 0 : XLENGTH(input);
  for (size_t i = 0; i < n; ++i) {
    const std::string_view c = a.code[i];
    const R_xlen_t row = static_cast<R_xlen_t>(i);
    SEXP reused = row < given ? STRING_ELT(input, row) : NA_STRING;
    if (reused != NA_STRING && static_cast<size_t>(LENGTH(reused)) == c.size() &&
        std::memcmp(CHAR(reused), c.data(), c.size()) == 0 && (Rf_getCharCE(reused) == CE_UTF8 || ascii(c))) {
      SET_STRING_ELT(code, row, reused);
    } else {
      SET_STRING_ELT(code, row, text(c));
    }
  }
  SEXP populations = PROTECT(texts(ped.populations())), periods = PROTECT(texts(ped.periods()));
  auto lookup = [](SEXP names, int64_t k) { return k < 0 ? NA_STRING : STRING_ELT(names, static_cast<R_xlen_t>(k)); };
  for (size_t i = 0; i < n; ++i) {
    const R_xlen_t row = static_cast<R_xlen_t>(i);
    SET_STRING_ELT(sire, row, lookup(code, a.sire[i]));
    SET_STRING_ELT(dam, row, lookup(code, a.dam[i]));
    SET_STRING_ELT(population, row, lookup(populations, a.population[i]));
    SET_STRING_ELT(period, row, lookup(periods, a.period[i]));
  }
  UNPROTECT(2);
  double* generation = REAL(frame.add("generation", REALSXP));
  for (size_t i = 0; i < n; ++i) generation[i] = a.generation[i];
  std::memcpy(REAL(frame.add("inbreeding", REALSXP)), a.inbreeding.data(), n * sizeof(double));
  for (const velmora::Pedigree::Column& column : ped.animal_figures()) {
    double* out = REAL(frame.add(column.name, REALSXP));
    for (size_t i = 0; i < n; ++i) out[i] = present(column.values[i]);
  }
  return frame.finish();
}

velmora::Columns columns_of(SEXP columns, Codes& codes) {
  copy_codes(columns, codes);
  return velmora::Columns{codes.column[0], codes.column[1], codes.column[2], codes.column[3], codes.column[4]};
}

// A file's reading: fields by number, or all five by name.
velmora::ReadOptions file_reading(SEXP fields, SEXP unknown, int threads) {
  velmora::ReadOptions options = reading(unknown, threads);
  if (TYPEOF(fields) == STRSXP) {
    for (R_xlen_t k = 0; k < 5; ++k) options.field_names.emplace_back(Rf_translateCharUTF8(STRING_ELT(fields, k)));
  } else {
    const int* f = INTEGER(fields);
    options.animal = f[0], options.sire = f[1], options.dam = f[2], options.population = f[3], options.period = f[4];
  }
  return options;
}

SEXP named_list(std::vector<std::pair<const char*, SEXP>> items) {
  SEXP out = PROTECT(Rf_allocVector(VECSXP, static_cast<R_xlen_t>(items.size())));
  SEXP names = PROTECT(Rf_allocVector(STRSXP, static_cast<R_xlen_t>(items.size())));
  for (size_t i = 0; i < items.size(); ++i) {
    SET_VECTOR_ELT(out, static_cast<R_xlen_t>(i), items[i].second);
    SET_STRING_ELT(names, static_cast<R_xlen_t>(i), Rf_mkChar(items[i].first));
  }
  Rf_setAttrib(out, R_NamesSymbol, names);
  UNPROTECT(2);
  return out;
}

}  // namespace

// What both entry points read: a file, or a data frame's columns (their
// codes held in `store` for as long as the library reads them).
struct Input {
  Codes store;
  bool from_file;
  velmora::ReadOptions options;
  velmora::Columns columns;
  std::string path;
  Input(SEXP source, SEXP fields, SEXP unknown, int workers)
      : from_file(TYPEOF(source) == STRSXP),
        options(from_file ? file_reading(fields, unknown, workers) : reading(unknown, workers)) {
    if (from_file) {
      path = Rf_translateCharUTF8(STRING_ELT(source, 0));
    } else {
      columns = columns_of(source, store);
    }
  }
  velmora::Pedigree load(Watch& watch) const {
    return from_file ? velmora::load(path, options, &watch) : velmora::load(columns, options, &watch);
  }
};

// source: a list of five character vectors, or a file name; fields: the
// file's field numbers (integer) or names (character).
extern "C" SEXP velmora_analyse(SEXP source, SEXP fields, SEXP unknown, SEXP threads, SEXP verbose) {
  BEGIN_RCPP
  const int workers = Rf_asInteger(threads);
  Watch watch(Rf_asLogical(verbose) == TRUE);
  const Input input(source, fields, unknown, workers);
  // The animals' frame is made on R's thread while the worker goes on to
  // the figures of the periods (a third of a second or so for a million
  // animals, as long as the periods of a pedigree like that take).
  velmora::Pedigree pedigree;
  velmora::Results results;
  std::promise<void> loading;
  std::future<void> loaded = loading.get_future();
  std::future<void> whole = std::async(std::launch::async, [&] {
    try {
      pedigree = input.load(watch);
    } catch (...) {
      loading.set_exception(std::current_exception());
      return;
    }
    loading.set_value();
    results = velmora::analyse(pedigree, velmora::Options{static_cast<unsigned>(workers)}, &watch);
  });
  watch.wait(loaded, whole);
  Watch::outcome(loaded);
  SEXP animals = R_NilValue;
  try {
    const AnimalColumns gathered = pedigree.table(static_cast<unsigned>(workers));
    animals = Rcpp::unwindProtect(
        [&] { return animals_frame(pedigree, gathered, input.from_file ? R_NilValue : VECTOR_ELT(source, 0)); });
  } catch (...) {
    watch.abandon(whole);
    throw;
  }
  PROTECT(animals);  // an error from here on resets R's protection stack
  watch.wait(whole, whole);
  Watch::outcome(whole);
  SEXP pairs = PROTECT(pairs_frame(results));
  SEXP summary = PROTECT(summary_frame(results));
  SEXP notes = PROTECT(texts(pedigree.notes()));
  std::vector<std::pair<const char*, SEXP>> items = {{"pairs", pairs}, {"summary", summary}};
  int protected_ = 3;
  if (!results.period_figures.empty()) {
    items.push_back({"fstatistics", PROTECT(fstatistics_frame(results))});
    ++protected_;
  }
  items.push_back({"animals", animals});
  items.push_back({"notes", notes});
  SEXP out = named_list(items);
  UNPROTECT(protected_ + 1);
  return out;
  END_RCPP
}

// F for each record: of its animal, in the records' order; from a file, of
// each animal with a record, in the order of its first record.
extern "C" SEXP velmora_inbreeding(SEXP source, SEXP fields, SEXP unknown, SEXP threads, SEXP verbose) {
  BEGIN_RCPP
  const int workers = Rf_asInteger(threads);
  Watch watch(Rf_asLogical(verbose) == TRUE);
  const Input input(source, fields, unknown, workers);
  const velmora::Pedigree pedigree = watch.run([&] { return input.load(watch); });
  std::vector<int64_t> animal;
  if (input.from_file) {
    for (size_t i = 0; i < pedigree.size() && pedigree.population(i) >= 0; ++i) animal.push_back(static_cast<int64_t>(i));
  } else {
    animal = velmora::animals_of_records(pedigree, input.store.column[0]);
  }
  SEXP out = PROTECT(Rf_allocVector(REALSXP, static_cast<R_xlen_t>(animal.size())));
  for (size_t r = 0; r < animal.size(); ++r) REAL(out)[r] = animal[r] < 0 ? NA_REAL : pedigree.inbreeding(static_cast<size_t>(animal[r]));
  SEXP notes = PROTECT(texts(pedigree.notes()));
  Rf_setAttrib(out, Rf_install("notes"), notes);
  UNPROTECT(2);
  return out;
  END_RCPP
}

extern "C" SEXP velmora_version() {
  const std::string_view v = velmora::version();
  return Rf_ScalarString(text(v));
}

static const R_CallMethodDef kCalls[] = {
    {"velmora_analyse", reinterpret_cast<DL_FUNC>(&velmora_analyse), 5},
    {"velmora_inbreeding", reinterpret_cast<DL_FUNC>(&velmora_inbreeding), 5},
    {"velmora_version", reinterpret_cast<DL_FUNC>(&velmora_version), 0},
    {nullptr, nullptr, 0},
};

extern "C" attribute_visible void R_init_velmora(DllInfo* dll) {
  R_registerRoutines(dll, nullptr, kCalls, nullptr, nullptr);
  R_useDynamicSymbols(dll, FALSE);
}
