#include "input/checks.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "common/format.h"
#include "common/stop.h"
#include "genetics/genetics.h"

namespace vm::input {
namespace {

std::string quoted(std::string_view code) {
  std::string text("\"");
  text.append(rtrim(code)).append("\"");
  return text;
}

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Two digit strings compared as the numbers they write.
bool numerically_less(std::string_view a, std::string_view b) {
  a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
  b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// How other tools write an unknown parent.
bool reads_like_unknown_mark(std::string_view code) {
  static constexpr std::array<std::string_view, 5> kMarks = {"na", ".", "null", "unknown", "?"};
  std::string lower(rtrim(code));
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::find(kMarks.begin(), kMarks.end(), lower) != kMarks.end();
}

std::string size_text(double bytes) {
  char text[32];
  if (bytes >= 1e9) {
    std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  }
  return text;
}

std::string and_more(int64_t count, const char* what) {
  return count > 1 ? " (and " + std::to_string(count - 1) + " more " + what + ")" : "";
}

// How often each animal is named as sire, as dam, and as both parents of
// one animal (selfing).
struct ParentUses {
  std::vector<int32_t> as_sire, as_dam, as_both;
  // Sire of some animals and dam of others.
  bool mixed(int32_t p) const { return as_sire[p] > as_both[p] && as_dam[p] > as_both[p]; }
};

ParentUses parent_uses(const Pedigree& animals) {
  const size_t size = static_cast<size_t>(animals.n) + 1;
  ParentUses uses{std::vector<int32_t>(size, 0), std::vector<int32_t>(size, 0), std::vector<int32_t>(size, 0)};
  for (int32_t x = 1; x <= animals.n; ++x) {
    const int32_t s = animals.sire[x], d = animals.dam[x];
    ++uses.as_sire[s];
    ++uses.as_dam[d];
    if (s == d) ++uses.as_both[s];
  }
  return uses;
}

std::string uses_text(const ParentUses& uses, int32_t p) {
  return "sire of " + std::to_string(uses.as_sire[p]) + " and dam of " + std::to_string(uses.as_dam[p]) + " animals";
}

// Animals 1..m have a record of their own; the parents added without one
// follow them and have neither population nor period.
int32_t animals_with_records(const Pedigree& animals) {
  int32_t m = animals.n;
  while (m > 0 && animals.pop[m] == 0) --m;
  return m;
}

void check_header_line(const Pedigree& animals, const CodeStore& codes, int32_t m, const ParentUses& uses,
                       DataNotes& notes, const HeaderRule& rule) {
  if (rule.refuse_in.empty() && !rule.note) return;
  if (m < 2) return;
  const bool pop_alone =
      std::count(animals.pop.begin() + 1, animals.pop.begin() + m + 1, animals.pop[1]) == 1;
  const bool period_alone =
      std::count(animals.period.begin() + 1, animals.period.begin() + m + 1, animals.period[1]) == 1;
  if (!pop_alone || !period_alone || uses.as_sire[1] != 0 || uses.as_dam[1] != 0) return;
  if (!rule.refuse_in.empty()) {
    throw FileError{"pedigree file \"" + rule.refuse_in + "\": the first record looks like a header line: its population " +
                    quoted(codes.pop_name(animals.pop[1])) + " and period " + quoted(codes.period_name(animals.period[1])) +
                    " occur in no other record and its animal " + quoted(codes.animal_code(1)) +
                    " is nobody's parent; add --header to skip it, or --no-header to read it as a record"};
  }
  notes.add("the first record looks like a header line: its population " + quoted(codes.pop_name(animals.pop[1])) +
            " and period " + quoted(codes.period_name(animals.period[1])) + " occur in no other record and its animal " +
            quoted(codes.animal_code(1)) + " is nobody's parent; a pedigree file has no header line, so remove it");
}

// Parent codes without a record of their own that stand for an unknown
// parent in other tools, or are sire and dam of many animals; returns
// whether animal p was noted here.
std::vector<bool> check_unknown_marks(const Pedigree& animals, const CodeStore& codes, int32_t m, const ParentUses& uses,
                                      DataNotes& notes) {
  std::vector<bool> noted(animals.n + 1, false);
  int64_t count = 0;
  int32_t first = 0;
  for (int32_t p = m + 1; p <= animals.n; ++p) {
    const bool both_often = uses.as_sire[p] > 0 && uses.as_dam[p] > 0 &&
                            uses.as_sire[p] + uses.as_dam[p] >= kManyOffspring;
    if (!both_often && !reads_like_unknown_mark(codes.animal_code(p))) continue;
    noted[p] = true;
    if (count++ == 0) first = p;
  }
  if (count == 0) return noted;
  const std::string code(rtrim(codes.animal_code(first)));
  notes.add("parent code \"" + code + "\" has no record of its own and is " + uses_text(uses, first) +
            and_more(count, "such codes") + "; if it means an unknown parent, mark it so with --unknown " + code +
            " or write 0 instead");
  return noted;
}

void check_code_clashes(const Pedigree& animals, const CodeStore& codes, const ParentUses& uses,
                        const std::vector<bool>& noted, DataNotes& notes) {
  int64_t count = 0;
  int32_t first = 0;
  for (int32_t p = 1; p <= animals.n; ++p) {
    if (!uses.mixed(p) || noted[p]) continue;
    if (count++ == 0) first = p;
  }
  if (count == 0) return;
  notes.add(std::to_string(count) + (count == 1 ? " code is" : " codes are") +
            " used as sire of some animals and as dam of others (a clash of two animals' codes?), first " +
            quoted(codes.animal_code(first)) + ": " + uses_text(uses, first));
}

}  // namespace

void DataNotes::add(const std::string& text) {
  if (errors_ != nullptr) {
    std::string line(kWarningPrefix);
    line.append(text).append("\n");
    errors_->write(line);
    errors_->flush();
  }
  texts_.push_back(text);
}

void check_first_line(std::string_view first_line, int32_t field_count, DataNotes& notes) {
  if (field_count != 1 || first_line.find(';') == std::string_view::npos) return;
  notes.add("the first line of the pedigree file gives one field and holds ';' (" +
            quoted(first_line.substr(0, 60)) + "): fields are separated by blanks, tabs or commas, not semicolons");
}

void check_group_counts(int32_t Q, int32_t P, DataNotes& notes) {
  if (Q <= kManyPopulations && P <= kManyPeriods) return;
  const double pairs = static_cast<double>(Q) * (Q - 1) / 2;
  const double bytes = genetics::result_table_bytes(Q, P);
  notes.add(std::to_string(Q) + " populations and " + std::to_string(P) +
            " periods, more than a pedigree usually has (is a field number wrong?): the result table will have " +
            std::to_string(static_cast<int64_t>(pairs)) + " blocks of " + std::to_string(P) + " rows, about " +
            size_text(bytes));
}

void check_period_order(const CodeStore& codes, int32_t P, DataNotes& notes) {
  std::string_view previous, before, after;
  int64_t numeric = 0;
  for (int32_t a = 1; a <= P; ++a) {
    const std::string_view code = rtrim(codes.period_name(a));
    if (!all_digits(code)) continue;
    ++numeric;
    if (after.empty() && !previous.empty() && numerically_less(code, previous)) {
      before = previous;
      after = code;
    }
    previous = code;
  }
  if (after.empty()) return;
  notes.add(std::to_string(numeric) + " period codes are numbers of different lengths, and periods follow the text " +
            "order of their codes: \"" + std::string(before) + "\" comes before \"" + std::string(after) +
            "\"; write them with one width (leading zeros) to keep the periods in time order");
}

void check_hyphen_parents(const CodeStore& codes, DataNotes& notes) {
  const CodeStore::HyphenParents& h = codes.hyphen_parents;
  if (h.uses == 0) return;
  notes.add(std::to_string(h.uses) + " sire and dam codes hold a hyphen, the mark of an unknown parent, and are codes of " +
            "animals with a record, first " + quoted(h.first) +
            (h.read_as_animals ? ": they are read as those animals"
                               : ": the classic interface reads them as unknown parents, the option interface "
                                 "(velmora --pedigree FILE) as those animals") +
            (h.without_record > 0 ? "; " + std::to_string(h.without_record) +
                                        " more with a hyphen have no record and are unknown parents"
                                  : std::string()));
}

void check_parents(const Pedigree& animals, const CodeStore& codes, DataNotes& notes, const HeaderRule& header) {
  check_hyphen_parents(codes, notes);
  if (animals.n < 1) return;
  const int32_t m = animals_with_records(animals);
  const ParentUses uses = parent_uses(animals);
  check_header_line(animals, codes, m, uses, notes, header);
  const std::vector<bool> noted = check_unknown_marks(animals, codes, m, uses, notes);
  check_code_clashes(animals, codes, uses, noted, notes);
}

namespace {

bool looks_like_year(std::string_view code) {
  code = rtrim(code);
  return all_digits(code) && (code.size() == 4 || code.size() == 8);
}

}  // namespace

void check_swapped_fields(const CodeStore& codes, int32_t Q, int32_t P, DataNotes& notes) {
  if (Q < 2 || P < 1) return;
  for (int32_t I = 1; I <= Q; ++I)
    if (!looks_like_year(codes.pop_name(I))) return;
  int32_t not_year = 0;
  for (int32_t a = 1; a <= P && not_year == 0; ++a)
    if (!looks_like_year(codes.period_name(a))) not_year = a;
  if (not_year == 0) return;
  notes.add("all " + std::to_string(Q) + " population codes look like years (" + quoted(codes.pop_name(1)) + " to " +
            quoted(codes.pop_name(Q)) + ") while period codes do not (" + quoted(codes.period_name(not_year)) +
            "): are the population and period fields swapped? (the fourth field number is the population's, "
            "the fifth the period's)");
}

int32_t free_format_field_count(std::string_view line) {
  auto separates = [](char c) { return c == ' ' || c == '\t' || c == ','; };
  line = rtrim(line);
  int32_t count = 1;
  bool previous_separates = true;
  for (char c : line) {
    if (separates(c) && !previous_separates) ++count;
    previous_separates = separates(c);
  }
  return count;
}

void check_field_counts(PedigreeFile& file, int32_t field_count, DataNotes& notes) {
  constexpr int kLines = 1000;
  std::vector<int64_t> lines_with(64, 0);
  int64_t looked_at = 0;
  std::string_view line;
  file.rewind();
  if (!file.next_line(line)) return file.rewind();  // the first line sets the count
  while (looked_at < kLines && file.next_line(line)) {
    if (is_blank(line) || file.line_unfinished()) continue;
    const int32_t count = free_format_field_count(line);
    if (count < static_cast<int32_t>(lines_with.size())) ++lines_with[static_cast<size_t>(count)];
    ++looked_at;
  }
  file.rewind();
  const auto most = std::max_element(lines_with.begin(), lines_with.end());
  const auto usual = static_cast<int32_t>(most - lines_with.begin());
  if (looked_at < 2 || usual == field_count || *most * 2 <= looked_at) return;
  notes.add("the first line gives " + std::to_string(field_count) + " fields, but " + std::to_string(*most) + " of the " +
            std::to_string(looked_at) + " lines after it give " + std::to_string(usual) +
            " (is the first line a title or a header, or is a value missing?): every record takes as many values as "
            "the first line has");
}

void check_reading(const PedigreeFile& file, DataNotes& notes) {
  const ReadNotes& read = file.read_notes();
  if (read.continued_records > 0) {
    notes.add(std::to_string(read.continued_records) +
              (read.continued_records == 1 ? " record continues" : " records continue") +
              " on the next line, the first at line " + std::to_string(read.first_continued_line) +
              ": a line with fewer values than the first takes the values of the next line (a missing value, or a "
              "quote?)");
  }
  if (read.merged_codes > 0) {
    notes.add(std::to_string(read.merged_codes) + (read.merged_codes == 1 ? " code is" : " codes are") +
              " one code with another after their first 25 characters, first \"" + read.merged_first + "\" and \"" +
              read.merged_second + "\": the classic interface keeps 25 characters of a code; the option interface "
              "(velmora --pedigree FILE) keeps codes whole");
  }
}

}  // namespace vm::input
