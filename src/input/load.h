// The loading of animals and parents: the animal pass numbers the animals
// in record order, the parent pass links them to their parents, adding a
// parent without a record of its own as a founder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/sink.h"
#include "hash/module_hash.h"
#include "input/code_store.h"
#include "input/record_source.h"
#include "pedigree/pedigree.h"

namespace vm::input {

// REALPARENT: false for a code that contains a hyphen or is "0".
bool REALPARENT(std::string_view code);

// The parent codes of a run that stand for an unknown parent: those that
// REALPARENT refuses, and the run's own marks (for example NA from other
// tools), compared without trailing blanks.
class UnknownParents {
 public:
  UnknownParents() = default;
  explicit UnknownParents(std::vector<std::string> marks) : marks_(std::move(marks)) {}
  bool is_unknown(std::string_view code) const {
    if (!REALPARENT(code)) return true;
    for (const std::string& mark : marks_) {
      if (rtrim(code) == mark) return true;
    }
    return false;
  }
  // Unknown only because the code holds a hyphen inside: it may be an
  // animal's code as well (DE-1234).
  bool unknown_by_hyphen_only(std::string_view code) const {
    code = rtrim(code);
    // A leading or trailing hyphen is a minus sign or a dash: "-1", "0-".
    if (code.size() < 3 || code.front() == '-' || code.back() == '-' || code.find('-') == std::string_view::npos) {
      return false;
    }
    for (const std::string& mark : marks_) {
      if (code == mark) return false;
    }
    return true;
  }

 private:
  std::vector<std::string> marks_;
};

// The animal pass and the parent pass over the R records; `threads`: 0
// for the usable CPUs, else the most threads to use (two at most: one
// reads while the other stores).
Pedigree load_animals(RecordSource& source, const UnknownParents& unknown, int32_t R, hash::ModuleHash& hash,
                      CodeStore& codes, const Report& report, unsigned threads = 0);

}  // namespace vm::input
