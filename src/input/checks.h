// Data checks: notes on a pedigree that reads, but most likely not as its
// maker meant (a header line, another tool's unknown-parent mark, period
// codes that sort out of time order, a wrong field number, an unknown
// separator, a code clash). Each kind is noted at most once, with a count
// and the first example, as one line "velmora: warning: ..." on the error
// stream; the notes never change the screen, the log or the output. Each
// check looks once over what a stage already holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/sink.h"
#include "input/code_store.h"
#include "pedigree/pedigree.h"

namespace vm::input {

class DataNotes {
 public:
  // `errors` receives each note as it is made; null keeps them only.
  explicit DataNotes(Sink* errors) : errors_(errors) {}
  void add(const std::string& text);
  // The notes so far, without their prefix.
  const std::vector<std::string>& texts() const { return texts_; }

 private:
  Sink* errors_;
  std::vector<std::string> texts_;
};

inline constexpr std::string_view kWarningPrefix = "velmora: warning: ";

// More groups than a pedigree has: usually a wrong field number.
inline constexpr int32_t kManyPopulations = 1000;
inline constexpr int32_t kManyPeriods = 10000;
// A parent without a record of its own that is sire and dam of this many
// animals is rather a mark for an unknown parent.
inline constexpr int64_t kManyOffspring = 10;

// The first line gives one field and holds ';', which is no separator here.
void check_first_line(std::string_view first_line, int32_t field_count, DataNotes& notes);

// More than 1,000 populations or 10,000 periods, with the size of the
// result table that follows.
void check_group_counts(int32_t Q, int32_t P, DataNotes& notes);

// Numeric period codes of different lengths whose text order (the order
// of the periods) is not their numeric order.
void check_period_order(const CodeStore& codes, int32_t P, DataNotes& notes);

// Over the loaded pedigree: a first record that looks like a header line
// (its population and period are nobody else's, its animal is nobody's
// parent); parent codes without a record of their own that read like
// another tool's unknown mark or are both sire and dam of many animals;
// codes that are sire of some animals and dam of others.
void check_parents(const Pedigree& animals, const CodeStore& codes, DataNotes& notes);

}  // namespace vm::input
