#include "input/scan.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/flat_table.h"
#include "common/format.h"
#include "common/huge_pages.h"
#include "common/progress.h"
#include "common/stop.h"
#include "pedigree/heapsort.h"

namespace vm::input {
namespace {

constexpr int32_t kEchoRecords = 10;
// The code table has six slots per record, counted in 32 bits.
constexpr int64_t kMaxRecords = 357913941;

// Distinct codes of one kind with the number of records of each, found in
// time proportional to the records (a flat open-addressing set).
class CodeCounter {
 public:
  void add(std::string_view code25) {
    if (last_ >= 0 && same_code(last_, code25)) {
      ++counts_[static_cast<size_t>(last_)];
      return;
    }
    const uint64_t h = hash_text(code25.substr(0, kFieldWidth));
    if (const Entry* e = index_.find(h, [&](Entry e) { return same_code(e.code, code25); })) {
      ++counts_[static_cast<size_t>(e->code)];
      last_ = e->code;
      return;
    }
    last_ = static_cast<int32_t>(counts_.size());
    codes_.append(code25.substr(0, kFieldWidth));
    counts_.push_back(1);
    index_.add(h, Entry{last_}, [&](Entry e) { return hash_text(code_at(e.code)); });
  }

  size_t size() const { return counts_.size(); }
  // The codes, sorted into ascending text order, with their counts; with
  // `long_codes`, stand-ins take the place of their whole codes.
  void sorted(std::string& codes, std::vector<int64_t>& counts, const LongCodes* long_codes) const {
    if (long_codes != nullptr && long_codes->size() > 0) return sorted_whole(codes, counts, *long_codes);
    const int32_t q = static_cast<int32_t>(counts_.size());
    // Sort an index column along with the codes: rows of (code, index).
    std::string table = codes_;
    std::string idx(static_cast<size_t>(q) * kFieldWidth, ' ');
    for (int32_t i = 0; i < q; ++i) std::memcpy(idx.data() + static_cast<size_t>(i) * kFieldWidth, &i, sizeof i);
    table += idx;
    pedigree::HEAPSORTCHAR(q, table.data(), 1, 2, kFieldWidth);
    codes.assign(table.data(), static_cast<size_t>(q) * kFieldWidth);
    counts.resize(static_cast<size_t>(q));
    for (int32_t r = 0; r < q; ++r) {
      int32_t i;
      std::memcpy(&i, table.data() + (static_cast<size_t>(q) + static_cast<size_t>(r)) * kFieldWidth, sizeof i);
      counts[static_cast<size_t>(r)] = counts_[static_cast<size_t>(i)];
    }
  }

 private:
  // The same order for whole codes of any length: as the table's fields
  // compare, blank-padded, so that it equals the plain sort where no code
  // is long.
  void sorted_whole(std::string& codes, std::vector<int64_t>& counts, const LongCodes& long_codes) const {
    const size_t q = counts_.size();
    std::vector<int32_t> order(q);
    for (size_t i = 0; i < q; ++i) order[i] = static_cast<int32_t>(i);
    auto whole = [&](int32_t e) { return rtrim(long_codes.whole(code_at(e))); };
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return padded_less(whole(a), whole(b)); });
    codes.clear();
    counts.clear();
    for (const int32_t e : order) {
      codes.append(code_at(e));
      counts.push_back(counts_[static_cast<size_t>(e)]);
    }
  }
  static bool padded_less(std::string_view a, std::string_view b) {
    const size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
      const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : ' ');
      const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : ' ');
      if (x != y) return x < y;
    }
    return false;
  }

  struct Entry {
    int32_t code = -1;  // number in order of appearance
    bool empty() const { return code < 0; }
  };
  std::string_view code_at(int32_t e) const {
    return std::string_view(codes_.data() + static_cast<size_t>(e) * kFieldWidth, kFieldWidth);
  }
  bool same_code(int32_t e, std::string_view code25) const {
    return std::memcmp(codes_.data() + static_cast<size_t>(e) * kFieldWidth, code25.data(), kFieldWidth) == 0;
  }

  FlatTable<Entry> index_;
  std::string codes_;
  std::vector<int64_t> counts_;
  int32_t last_ = -1;
};

// A read that failed in the system: the line and the system's reason.
[[noreturn]] void cannot_read(const PedigreeFile& file, const ReadFault& fault) {
  throw FileError{"pedigree file \"" + file.path() + "\" cannot be read at line " + std::to_string(fault.line) + " (" +
                  file.pass() + " pass): " + file.read_error()};
}

void echo_first_records(RecordSource& source, Sink& log) {
  PedigreeFile& file = source.file;
  Fields& fields = source.fields;
  const FieldNumbers& fn = source.fn;
  log.write(FreeLine().str());
  log.write(FreeLine().text(" First 10 records pedigree file: ").str());
  for (int32_t k = 1; k <= kEchoRecords; ++k) {
    ReadFault fault;
    ReadStatus status = read_record(file, fields, fault);
    // A record per line has no records to finish: a herd of a few animals
    // is one to analyse (the free-format read has always asked for ten).
    if (status == ReadStatus::kEndOfFile && file.line_format() != nullptr && k > 1 && fault.line == 0) return;
    if (status == ReadStatus::kEndOfFile) {
      throw FileError{"pedigree file \"" + file.path() + "\": the file ends after line " +
                      std::to_string(file.line_number()) + ", before record " + std::to_string(k) +
                      " is complete (at least 10 records are needed)"};
    }
    if (status != ReadStatus::kOk) {
      if (file.io_error()) cannot_read(file, fault);
      throw FileError{"pedigree file \"" + file.path() + "\", line " + std::to_string(fault.line) +
                      ": cannot read record " + std::to_string(k) + ": " + fault.what};
    }
    auto shown = [&](int32_t k) { return file.whole_code(fields.get(k)); };
    std::string line = " RECORD " + fmt_I(k, 2) + ": \"";
    line.append(shown(fn.animal)).append("\", \"");
    line.append(shown(fn.sire)).append("\", \"");
    line.append(shown(fn.dam)).append("\", \"");
    line.append(shown(fn.pop)).append("\", \"");
    line.append(shown(fn.period)).append("\"\n");
    log.write(line);
  }
}

// The first pass over the whole file counts the records and collects the
// population and period code of each. A record that cannot be read, or a
// last record cut short by the end of the file, would silently drop data
// from every later pass: the run ends here with the line instead. A
// record without a population or period code ends the run too, but only
// once the whole file has been read, as the count comes first; it is
// `first_blank` (0 when there is none).
struct Collected {
  int32_t R = 0;
  int64_t first_blank = 0;
};

// What the loading is sure to take per record counted, in arrays large
// enough for the store of kept pages: per animal its number by record,
// period, population, sire, dam and code id (4 bytes each), and the code
// table's reference (8 bytes) and record (13 bytes and the text) of its
// code. Only the first copy of a repeated animal takes them all; those
// are few.
constexpr size_t kLoadingBytesPerRecord = 6 * 4 + 8 + 13;

Collected count_and_collect(RecordSource& source, Progress& progress, CodeCounter& pops, CodeCounter& periods,
                            PagesAhead* ahead) {
  PedigreeFile& file = source.file;
  Collected c;
  int64_t R = 0;
  for (;;) {
    source.fields.blank();
    ReadFault fault;
    const ReadStatus status = read_record(file, source.fields, fault);
    if (status != ReadStatus::kOk) {
      if (fault.line == 0) break;
      if (file.io_error()) cannot_read(file, fault);
      throw FileError{"pedigree file \"" + file.path() + "\", line " + std::to_string(fault.line) +
                      ": cannot read record " + std::to_string(R + 1) + ": " + fault.what};
    }
    ++R;
    if (R % kProgressRecords == 0) {
      advance(progress, kProgressRecords);
      if (ahead != nullptr) ahead->want(static_cast<size_t>(R) * kLoadingBytesPerRecord);
    }
    if (R > kMaxRecords) {
      throw FileError{std::string("pedigree file \"") + file.path() + "\": more than " + std::to_string(kMaxRecords) +
                      " records"};
    }
    if (c.first_blank != 0) continue;
    std::string_view pop = source.fields.get(source.fn.pop);
    std::string_view period = source.fields.get(source.fn.period);
    if (is_blank(pop) || is_blank(period)) {
      c.first_blank = R;
      continue;
    }
    pops.add(pop);
    periods.add(period);
  }
  c.R = static_cast<int32_t>(R);
  return c;
}

[[noreturn]] void changed_in_pass(const PedigreeFile& file, const std::string& what) {
  throw FileError{"pedigree file \"" + file.path() + "\" changed during the run: the " + file.pass() + " pass " + what};
}

// Numbers the codes of one kind in the order of the sorted list: a code
// new to this kind gets the next number.
void number_code(std::string_view code, hash::ModuleHash& hash, CodeStore& codes, std::vector<int32_t>& to_number,
                 std::vector<int32_t>& from_number, int32_t& count) {
  hash::Hit hit = codes.look_up(hash, code, true);
  int32_t& number = CodeStore::entry(to_number, hit.id);
  if (number == 0) {
    ++count;
    number = count;
    from_number.push_back(hit.id);
  }
}

}  // namespace

void read_counted_record(RecordSource& source, int64_t record, int64_t count) {
  PedigreeFile& file = source.file;
  ReadFault fault;
  const ReadStatus status = read_record(file, source.fields, fault);
  if (status == ReadStatus::kOk) return;
  if (file.io_error()) cannot_read(file, fault);
  if (status == ReadStatus::kEndOfFile) {
    changed_in_pass(file, "found the end of the file after line " + std::to_string(file.line_number()) + ", at record " +
                              std::to_string(record) + " of the " + std::to_string(count) + " records counted");
  }
  changed_in_pass(file, "cannot read record " + std::to_string(record) + " at line " + std::to_string(fault.line) +
                            ": " + fault.what);
}

void expect_no_more_records(RecordSource& source, int64_t count) {
  PedigreeFile& file = source.file;
  ReadFault fault;
  const ReadStatus status = read_record(file, source.fields, fault);
  if (status == ReadStatus::kEndOfFile && fault.line == 0) return;
  if (file.io_error()) cannot_read(file, fault);
  changed_in_pass(file, "found more than the " + std::to_string(count) + " records counted, at line " +
                            std::to_string(status == ReadStatus::kOk ? file.line_number() : fault.line));
}

ScanResult scan_pedigree(RecordSource& source, hash::ModuleHash& hash, std::unique_ptr<CodeStore>& codes,
                         const Report& report, unsigned workers) {
  PedigreeFile& file = source.file;
  Sink& log = report.log;
  ScanResult result;
  file.start_pass("first records");
  echo_first_records(source, log);
  file.start_pass("counting");
  report.progress.stage("counting", 0);

  CodeCounter pops, periods;
  Collected collected;
  {
    std::optional<PagesAhead> ahead;
    if (workers > 1) ahead.emplace();
    collected = count_and_collect(source, report.progress, pops, periods, ahead ? &*ahead : nullptr);
  }
  // Every code is known now: a later pass that meets a new one reads
  // another file.
  if (LineFormat* format = file.line_format()) format->long_codes.freeze();
  result.R = collected.R;
  log.write(FreeLine().text(" Number of animals read: ").num(result.R).str());
  // The progress of collecting the codes, done on the way, up to the end
  // of the records or the first without a population or period code.
  const int64_t i = result.R;
  const int64_t collected_up_to = collected.first_blank != 0 ? collected.first_blank : i;
  report.progress.advance(result.R % kProgressRecords);
  report.progress.stage("collecting", collected_up_to);
  report.progress.advance(collected_up_to);
  if (collected.first_blank != 0) {
    stop_with_line(report,
                   FreeLine().text(" ERROR: No population or period code in record ").num(collected.first_blank).str());
  }

  std::string pop_codes, period_codes;
  std::vector<int64_t> pop_counts, period_counts;
  const LongCodes* long_codes = file.line_format() != nullptr ? &file.line_format()->long_codes : nullptr;
  pops.sorted(pop_codes, pop_counts, long_codes);
  periods.sorted(period_codes, period_counts, long_codes);
  result.Q = static_cast<int32_t>(pops.size());
  result.P = static_cast<int32_t>(periods.size());
  log.write(FreeLine().text(" Number of populations read: ").num(result.Q).str());
  log.write(FreeLine().text(" Number of periods read: ").num(result.P).str());

  // The table holds 6 slots per record. The codes are stored by walking the
  // sorted population and period columns side by side, one call per code
  // and column; a call that repeats a code already stored changes nothing,
  // so only the records where a run of equal codes begins are visited,
  // and the last record, as the walk ends there.
  codes = std::make_unique<CodeStore>(static_cast<int32_t>(6 * static_cast<int64_t>(result.R)));
  codes->pop2hash.assign(1, 0);
  codes->period2hash.assign(1, 0);
  codes->an2hash.assign(1, 0);
  if (file.line_format() != nullptr) {
    codes->long_codes = std::shared_ptr<const LongCodes>(file.shared_line_format(), &file.line_format()->long_codes);
  }
  int32_t Q = 0, P = 0;
  size_t pop_run = 0, period_run = 0;
  int64_t pop_end = pop_counts.empty() ? 0 : pop_counts[0];
  int64_t period_end = period_counts.empty() ? 0 : period_counts[0];
  auto code_at = [](const std::string& codes_, size_t run) {
    return std::string_view(codes_.data() + run * kFieldWidth, kFieldWidth);
  };
  bool pop_starts = true, period_starts = true;
  for (int64_t rec = 1; rec <= i; ++rec) {
    if (rec > pop_end) {
      ++pop_run;
      pop_end += pop_counts[pop_run];
      pop_starts = true;
    }
    if (rec > period_end) {
      ++period_run;
      period_end += period_counts[period_run];
      period_starts = true;
    }
    if (pop_starts || period_starts || rec == i) {
      number_code(code_at(pop_codes, pop_run), hash, *codes, codes->hash2pop, codes->pop2hash, Q);
      number_code(code_at(period_codes, period_run), hash, *codes, codes->hash2period, codes->period2hash, P);
    }
    pop_starts = period_starts = false;
    // Jump to the next record where a run begins (or the last record).
    int64_t next = std::min({pop_end, period_end, i - 1});
    if (next > rec) rec = next;
  }
  log.write(FreeLine().text(" Number of populations stored in hash table: ").num(Q).str());
  log.write(FreeLine().text(" Number of periods stored in hash table: ").num(P).str());
  result.Q = Q;
  result.P = P;
  return result;
}

std::vector<std::string> drop_periods(CodeStore& codes, ScanResult& scan, const std::vector<std::string>& dropped) {
  std::vector<char> found(dropped.size(), 0);
  std::vector<int32_t> kept(1, 0);  // by new number, the code's id
  for (int32_t a = 1; a <= scan.P; ++a) {
    const std::string_view name = rtrim(codes.period_name(a));
    const auto hit = std::find(dropped.begin(), dropped.end(), name);
    const int32_t id = codes.period2hash[static_cast<size_t>(a)];
    if (hit == dropped.end()) {
      kept.push_back(id);
      CodeStore::entry(codes.hash2period, id) = static_cast<int32_t>(kept.size()) - 1;
    } else {
      found[static_cast<size_t>(hit - dropped.begin())] = 1;
      CodeStore::entry(codes.hash2period, id) = 0;
    }
  }
  codes.period2hash = std::move(kept);
  scan.P = static_cast<int32_t>(codes.period2hash.size()) - 1;
  std::vector<std::string> missing;
  for (size_t k = 0; k < dropped.size(); ++k)
    if (!found[k]) missing.push_back(dropped[k]);
  return missing;
}

}  // namespace vm::input
