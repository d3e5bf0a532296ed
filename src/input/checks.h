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
#include "input/record_reader.h"
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
// What the header check does with a first record that looks like a
// header line: note it, or refuse the pedigree named `refuse_in` (an
// option run that was not told whether the file has a header).
struct HeaderRule {
  bool note = true;
  std::string refuse_in;
};
void check_parents(const Pedigree& animals, const CodeStore& codes, DataNotes& notes, const HeaderRule& header = {});

// Population codes that all look like years while the period codes do not:
// the two fields swapped?
void check_swapped_fields(const CodeStore& codes, int32_t Q, int32_t P, DataNotes& notes);

// The number of fields of a line by the free-format rule (blank, tab and
// comma separate; runs count once), quotes not looked at.
int32_t free_format_field_count(std::string_view line);
// A first line whose field count differs from the count most of the next
// lines have (free-format reading, which takes the count from the first).
void check_field_counts(PedigreeFile& file, int32_t field_count, DataNotes& notes);
// What the free-format reading met in the counting pass: records that
// continue on the next line, codes that became one after 25 characters.
void check_reading(const PedigreeFile& file, DataNotes& notes);

}  // namespace vm::input
