// The Python side of the library: columns of str in, NumPy arrays out
// (velmora/__init__.py makes pandas DataFrames of them). The computation
// runs without the GIL on a thread of its own while the calling thread
// waits: the library's Progress calls may come from any of its workers,
// and Python handles signals in its main thread only, so the caller checks
// for Ctrl-C every so often and asks the computation to stop.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <velmora/velmora.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

class Watch : public velmora::Progress {
 public:
  void stage(std::string_view, int64_t) override {}
  void advance(int64_t) override {}
  bool stop_requested() override { return stop_.load(std::memory_order_relaxed); }

  // Called with the GIL held; runs `work` without it.
  template <class Work>
  auto run(Work work) -> decltype(work()) {
    std::future<decltype(work())> result;
    std::optional<py::error_already_set> signal;
    {
      py::gil_scoped_release release;
      result = std::async(std::launch::async, work);
      while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) {
          signal.emplace();  // the KeyboardInterrupt (or what a handler raised), raised once the work has stopped
          stop_.store(true);
          break;
        }
      }
      result.wait();
    }
    if (signal) {
      try {
        result.get();
      } catch (const velmora::Error&) {
      }
      throw std::move(*signal);
    }
    return result.get();
  }

 private:
  std::atomic<bool> stop_{false};
};

// The columns' codes as UTF-8 views into the str objects, which `keep`
// holds while the views are in use. None and float NaN (pandas' missing
// value) are the empty code: an unknown parent, and an animal, population
// or period the loading refuses. Other objects are taken by str().
class CodeColumn {
 public:
  explicit CodeColumn(py::handle column) {
    // An object array (a pandas column) is read where it stands; other
    // sequences through a list.
    PyObject** item = nullptr;
    py::object owner;
    if (py::isinstance<py::array>(column)) {
      py::array array = py::reinterpret_borrow<py::array>(column);
      if (array.dtype().kind() == 'O' && array.ndim() == 1 && (array.flags() & py::array::c_style) != 0) {
        item = reinterpret_cast<PyObject**>(const_cast<void*>(array.data()));
        owner = array;
      }
    }
    if (item == nullptr) {
      PyObject* seq = PySequence_Fast(column.ptr(), "a column of codes must be a sequence");
      if (seq == nullptr) throw py::error_already_set();
      owner = py::reinterpret_steal<py::object>(seq);
      item = PySequence_Fast_ITEMS(seq);
    }
    const size_t n = py::len(owner);
    views_.resize(n);
    objects_.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      // Millions of codes take a while: Ctrl-C is heard here as well.
      if ((i & 0xFFFFF) == 0xFFFFF && PyErr_CheckSignals() != 0) throw py::error_already_set();
      PyObject* o = item[i];
      if (o == Py_None || (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)))) {
        objects_.push_back(nullptr);
        continue;
      }
      if (!PyUnicode_Check(o)) {
        py::object text = py::str(o);
        o = text.ptr();
        keep_.push_back(std::move(text));
      }
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(o, &size);
      if (data == nullptr) throw py::error_already_set();
      views_[i] = std::string_view(data, static_cast<size_t>(size));
      objects_.push_back(o);
    }
    keep_.push_back(std::move(owner));
  }
  const std::vector<std::string_view>& views() const { return views_; }
  // The str of record i (nullptr for a missing code), borrowed.
  PyObject* object(size_t i) const { return objects_[i]; }

 private:
  std::vector<std::string_view> views_;
  std::vector<PyObject*> objects_;
  std::vector<py::object> keep_;
};

struct Source {
  std::optional<std::string> path;
  std::vector<CodeColumn> columns;  // animal, sire, dam, population, period
};

// Either a file (path with its field numbers or names) or five columns.
Source source_of(const py::object& path, const py::object& columns) {
  Source s;
  if (!path.is_none()) {
    s.path = py::cast<std::string>(py::module_::import("os").attr("fspath")(path));
  } else {
    for (py::handle column : columns) s.columns.emplace_back(column);
  }
  return s;
}

velmora::ReadOptions reading(const py::object& fields, const std::vector<std::string>& unknown, unsigned threads) {
  velmora::ReadOptions options;
  options.unknown = unknown;
  options.threads = threads;
  if (!fields.is_none()) {
    std::vector<py::object> f = py::cast<std::vector<py::object>>(fields);
    if (py::isinstance<py::str>(f[0])) {
      for (const py::object& name : f) options.field_names.push_back(py::cast<std::string>(name));
    } else {
      options.animal = py::cast<int>(f[0]), options.sire = py::cast<int>(f[1]), options.dam = py::cast<int>(f[2]);
      options.population = py::cast<int>(f[3]), options.period = py::cast<int>(f[4]);
    }
  }
  return options;
}

velmora::Pedigree load(const Source& s, const velmora::ReadOptions& options, Watch& watch) {
  if (s.path) return velmora::load(*s.path, options, &watch);
  const velmora::Columns columns{s.columns[0].views(), s.columns[1].views(), s.columns[2].views(),
                                 s.columns[3].views(), s.columns[4].views()};
  return velmora::load(columns, options, &watch);
}

py::str text(std::string_view s) { return py::str(s.data(), s.size()); }

// An object array of the codes; each distinct str is made once. NumPy's
// empty() fills an object array with None, whose references are handed
// back before each entry is written.
py::array codes_array(const std::vector<py::object>& names, const std::vector<int64_t>& which) {
  // Never released: its destructor would run after the interpreter ended.
  static const py::object& empty = *new py::object(py::module_::import("numpy").attr("empty"));
  py::array out = empty(static_cast<py::ssize_t>(which.size()), "dtype"_a = "O");
  PyObject** data = reinterpret_cast<PyObject**>(out.mutable_data());
  for (size_t i = 0; i < which.size(); ++i) {
    PyObject* o = which[i] < 0 ? Py_None : names[static_cast<size_t>(which[i])].ptr();
    Py_INCREF(o);
    Py_XDECREF(data[i]);
    data[i] = o;
  }
  return out;
}

std::vector<py::object> texts(const std::vector<std::string>& names) {
  std::vector<py::object> out;
  out.reserve(names.size());
  for (const std::string& n : names) out.push_back(text(n));
  return out;
}

py::array_t<double> numbers(size_t n) { return py::array_t<double>(static_cast<py::ssize_t>(n)); }

// The tidy table of the pairs, row for row the program's --csv table: a
// figure exists where both populations (for a within figure, its own) have
// animals in the period, and is NaN elsewhere.
py::dict pairs_table(const velmora::Results& r) {
  const size_t P = r.periods.size(), rows = r.pairs.size() * P;
  std::vector<int64_t> period(rows), first(rows), second(rows);
  py::array_t<double> n1 = numbers(rows), n2 = numbers(rows), within1 = numbers(rows), within2 = numbers(rows),
                      between = numbers(rows), drift = numbers(rows), max_drift = numbers(rows), index = numbers(rows),
                      nei = numbers(rows);
  double *a1 = n1.mutable_data(), *a2 = n2.mutable_data(), *w1 = within1.mutable_data(), *w2 = within2.mutable_data(),
         *b = between.mutable_data(), *d = drift.mutable_data(), *m = max_drift.mutable_data(), *x = index.mutable_data(),
         *e = nei.mutable_data();
  auto value = [](bool exists, double v) { return exists ? v : velmora::kAbsent; };
  size_t row = 0;
  for (const velmora::PairIndex& pair : r.pairs) {
    for (size_t t = 0; t < P; ++t, ++row) {
      const int64_t c1 = r.animals(pair.first, t), c2 = r.animals(pair.second, t);
      const bool both = c1 > 0 && c2 > 0;
      period[row] = static_cast<int64_t>(t);
      first[row] = static_cast<int64_t>(pair.first);
      second[row] = static_cast<int64_t>(pair.second);
      a1[row] = static_cast<double>(c1);
      a2[row] = static_cast<double>(c2);
      w1[row] = value(c1 > 0, r.relationship(pair.first, pair.first, t));
      w2[row] = value(c2 > 0, r.relationship(pair.second, pair.second, t));
      b[row] = value(both, r.relationship(pair.first, pair.second, t));
      d[row] = value(both, r.drift_variance(pair, t));
      m[row] = value(both, r.max_drift_variance(pair, t));
      x[row] = value(both, r.index(pair, t));
      e[row] = value(both, r.nei_distance(pair, t));
    }
  }
  const std::vector<py::object> periods = texts(r.periods), populations = texts(r.populations);
  py::dict out;
  out["period"] = codes_array(periods, period);
  out["population_1"] = codes_array(populations, first);
  out["population_2"] = codes_array(populations, second);
  out["n_1"] = n1;
  out["n_2"] = n2;
  out["relationship_within_1"] = within1;
  out["relationship_within_2"] = within2;
  out["relationship_between"] = between;
  out["drift_variance"] = drift;
  out["max_drift_variance"] = max_drift;
  out["differentiation_index"] = index;
  out["nei_distance"] = nei;
  return out;
}

// One row per population and period with animals, every group statistic a
// column.
py::dict summary_table(const velmora::Results& r) {
  const size_t Q = r.populations.size(), P = r.periods.size();
  std::vector<size_t> groups;  // t * Q + p
  for (size_t t = 0; t < P; ++t)
    for (size_t p = 0; p < Q; ++p)
      if (r.animals(p, t) >= 1) groups.push_back(t * Q + p);
  std::vector<int64_t> period(groups.size()), population(groups.size());
  for (size_t row = 0; row < groups.size(); ++row) {
    period[row] = static_cast<int64_t>(groups[row] / Q);
    population[row] = static_cast<int64_t>(groups[row] % Q);
  }
  py::dict out;
  out["period"] = codes_array(texts(r.periods), period);
  out["population"] = codes_array(texts(r.populations), population);
  for (const velmora::GroupColumn& column : r.groups) {
    py::array_t<double> values = numbers(groups.size());
    double* v = values.mutable_data();
    for (size_t row = 0; row < groups.size(); ++row) v[row] = column.values[groups[row]];
    out[py::str(column.name)] = values;
  }
  return out;
}

py::object fstatistics_table(const velmora::Results& r) {
  if (r.period_figures.empty()) return py::none();
  std::vector<int64_t> period(r.periods.size());
  for (size_t t = 0; t < period.size(); ++t) period[t] = static_cast<int64_t>(t);
  py::dict out;
  out["period"] = codes_array(texts(r.periods), period);
  for (const velmora::Results::PeriodColumn& column : r.period_figures) {
    out[py::str(column.name)] = py::array_t<double>(static_cast<py::ssize_t>(column.values.size()), column.values.data());
  }
  return out;
}

// The animals' figures in loading order, gathered without the GIL.
struct AnimalColumns {
  std::vector<std::string_view> code;
  std::vector<int64_t> all, sire, dam, population, period;
  py::array_t<double> generation, inbreeding;  // made with the GIL, filled without
};

void gather(const velmora::Pedigree& ped, unsigned threads, AnimalColumns& a) {
  velmora::Pedigree::Table t = ped.table(threads);
  const size_t n = t.code.size();
  a.code = std::move(t.code), a.sire = std::move(t.sire), a.dam = std::move(t.dam);
  a.population = std::move(t.population), a.period = std::move(t.period);
  a.all.resize(n);
  double* generation = a.generation.mutable_data();
  double* inbreeding = a.inbreeding.mutable_data();
  for (size_t i = 0; i < n; ++i) {
    a.all[i] = static_cast<int64_t>(i);
    generation[i] = t.generation[i], inbreeding[i] = t.inbreeding[i];
  }
}

// The animals in loading order. Where an animal's code is the one of the
// record at its place, that record's str is used, which spares making a
// million strings anew.
py::dict animals_table(const velmora::Pedigree& ped, AnimalColumns& a, const CodeColumn* input) {
  const size_t n = a.code.size();
  std::vector<py::object> codes;
  codes.reserve(n);
  const size_t given = input != nullptr ? input->views().size() : 0;
  for (size_t i = 0; i < n; ++i) {
    const std::string_view c = a.code[i];
    if (i < given && input->object(i) != nullptr && input->views()[i] == c && PyUnicode_CheckExact(input->object(i))) {
      codes.push_back(py::reinterpret_borrow<py::object>(input->object(i)));
    } else {
      codes.push_back(text(c));
    }
  }
  py::dict out;
  out["code"] = codes_array(codes, a.all);
  out["sire"] = codes_array(codes, a.sire);
  out["dam"] = codes_array(codes, a.dam);
  out["population"] = codes_array(texts(ped.populations()), a.population);
  out["period"] = codes_array(texts(ped.periods()), a.period);
  out["generation"] = a.generation;
  out["inbreeding"] = a.inbreeding;
  for (const velmora::Pedigree::Column& column : ped.animal_figures()) {
    out[py::str(column.name)] = py::array_t<double>(static_cast<py::ssize_t>(column.values.size()), column.values.data());
  }
  return out;
}

const char* kind_name(velmora::Error::Kind kind) {
  switch (kind) {
    case velmora::Error::Kind::kFile: return "file";
    case velmora::Error::Kind::kData: return "data";
    case velmora::Error::Kind::kArgument: return "argument";
    case velmora::Error::Kind::kMemory: return "memory";
    case velmora::Error::Kind::kInterrupted: return "interrupted";
  }
  return "data";
}

py::list notes_of(const velmora::Pedigree& ped) {
  py::list notes;
  for (const std::string& note : ped.notes()) notes.append(text(note));
  return notes;
}

py::dict analyse(const py::object& path, const py::object& columns, const py::object& fields,
                 const std::vector<std::string>& unknown, unsigned threads) {
  const Source source = source_of(path, columns);
  const velmora::ReadOptions options = reading(fields, unknown, threads);
  struct Both {
    velmora::Pedigree pedigree;
    velmora::Results results;
  };
  Watch watch;
  AnimalColumns animals;
  const Both both = watch.run([&] {
    velmora::Pedigree pedigree = load(source, options, watch);
    velmora::Results results = velmora::analyse(pedigree, velmora::Options{threads}, &watch);
    return Both{std::move(pedigree), std::move(results)};
  });
  animals.generation = numbers(both.pedigree.size());
  animals.inbreeding = numbers(both.pedigree.size());
  {
    py::gil_scoped_release release;
    gather(both.pedigree, threads, animals);
  }
  py::dict out;
  out["pairs"] = pairs_table(both.results);
  out["summary"] = summary_table(both.results);
  out["fstatistics"] = fstatistics_table(both.results);
  out["animals"] = animals_table(both.pedigree, animals, source.path ? nullptr : &source.columns[0]);
  out["notes"] = notes_of(both.pedigree);
  return out;
}

py::tuple inbreeding(const py::object& path, const py::object& columns, const py::object& fields,
                     const std::vector<std::string>& unknown, unsigned threads) {
  const Source source = source_of(path, columns);
  const velmora::ReadOptions options = reading(fields, unknown, threads);
  Watch watch;
  const velmora::Pedigree pedigree = watch.run([&] { return load(source, options, watch); });
  std::vector<int64_t> animal;
  if (source.path) {
    for (size_t i = 0; i < pedigree.size() && pedigree.population(i) >= 0; ++i) animal.push_back(static_cast<int64_t>(i));
  } else {
    animal = velmora::animals_of_records(pedigree, source.columns[0].views());
  }
  py::array_t<double> out = numbers(animal.size());
  double* f = out.mutable_data();
  for (size_t r = 0; r < animal.size(); ++r) f[r] = animal[r] < 0 ? velmora::kAbsent : pedigree.inbreeding(static_cast<size_t>(animal[r]));
  return py::make_tuple(out, notes_of(pedigree));
}

}  // namespace

PYBIND11_MODULE(_velmora, m) {
  m.doc() = "The compiled part of velmora: see the velmora package for the documented functions.";
  static py::exception<velmora::Error> error(m, "Error", PyExc_RuntimeError);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const velmora::Error& e) {
      py::object instance = py::reinterpret_borrow<py::object>(error)(e.what());
      instance.attr("kind") = kind_name(e.kind());
      PyErr_SetObject(error.ptr(), instance.ptr());
    }
  });
  const char* doc =
      "(path, columns, fields, unknown, threads): a file (path, fields by number from 1 or by name) or five "
      "sequences of codes (columns); dicts of arrays.";
  m.def("analyse", &analyse, py::arg("path"), py::arg("columns"), py::arg("fields"), py::arg("unknown"),
        py::arg("threads"), doc);
  m.def("inbreeding", &inbreeding, py::arg("path"), py::arg("columns"), py::arg("fields"), py::arg("unknown"),
        py::arg("threads"), doc);
  m.def("version", [] { return std::string(velmora::version()); });
}
