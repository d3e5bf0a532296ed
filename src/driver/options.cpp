#include "driver/options.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <string_view>

#include "input/record_reader.h"

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0.0.0"
#endif

namespace vm {
namespace {

// One row per option: how it is written, the word that stands for its
// value in the help (empty for an option without a value), its help line,
// and how its value is taken. `take` throws UsageError for a value it
// cannot use.
struct Option {
  std::string_view name;
  std::string_view value;
  std::string_view help;
  void (*take)(ParsedOptions& parsed, std::string_view option, std::string_view value);
};

[[noreturn]] void bad_value(std::string_view option, std::string_view value, std::string_view why) {
  throw UsageError{std::string(option) + " \"" + std::string(value) + "\": " + std::string(why)};
}

std::string file_value(std::string_view option, std::string_view value) {
  if (value.empty()) bad_value(option, value, "the file name is empty");
  return std::string(value);
}

// "-" sends a table for R or Python to standard output, as pipes expect;
// the screen lines then go to the error stream. One table at most.
std::string result_value(ParsedOptions& parsed, std::string_view option, std::string_view value) {
  if (value != "-") return file_value(option, value);
  if (parsed.run.results_to_standard_output) bad_value(option, value, "another table goes to standard output already");
  parsed.run.results_to_standard_output = true;
  return "/dev/stdout";
}

// The result table and the log never go to standard output, where the
// screen lines are: "-" there is refused rather than taken for a file.
std::string table_or_log_value(std::string_view option, std::string_view value) {
  if (value == "-") {
    bad_value(option, value, "the screen lines go to standard output; name a file (./- for a file named \"-\")");
  }
  return file_value(option, value);
}

// Splits "a,b,c" into its items; empty items are refused.
std::vector<std::string_view> comma_list(std::string_view option, std::string_view value) {
  std::vector<std::string_view> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = value.find(',', start);
    const std::string_view item = value.substr(start, comma == std::string_view::npos ? value.npos : comma - start);
    if (item.empty()) bad_value(option, value, "an empty item in the comma-separated list");
    items.push_back(item);
    if (comma == std::string_view::npos) return items;
    start = comma + 1;
  }
}

// A whole number from `low` to `high`, digits only.
int64_t whole_number(std::string_view option, std::string_view text, std::string_view value, int64_t low,
                     int64_t high) {
  int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || text[0] == '+' || text[0] == '-' || error != std::errc() || end != text.data() + text.size() ||
      number < low || number > high) {
    bad_value(option, value,
              "expected a whole number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return number;
}

std::string_view without_blanks(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

bool is_number(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Five field numbers, or five column names of the header line (which the
// reading turns into numbers); blanks around the items do not count.
void take_fields(ParsedOptions& parsed, std::string_view option, std::string_view value) {
  const std::vector<std::string_view> items = comma_list(option, value);
  if (items.size() != 5) {
    bad_value(option, value, "expected five field numbers or column names: animal, sire, dam, population, period");
  }
  int32_t* numbers[5] = {&parsed.run.fields.animal, &parsed.run.fields.sire, &parsed.run.fields.dam,
                         &parsed.run.fields.pop, &parsed.run.fields.period};
  const bool named = std::any_of(items.begin(), items.end(), [](std::string_view item) {
    return !is_number(without_blanks(item)) && !without_blanks(item).starts_with('-') &&
           !without_blanks(item).starts_with('+');
  });
  for (size_t k = 0; k < 5; ++k) {
    const std::string_view item = without_blanks(items[k]);
    if (!named) {
      *numbers[k] = static_cast<int32_t>(whole_number(option, item, value, 1, INT32_MAX));
    } else if (item.empty()) {
      bad_value(option, value, "an empty column name");
    } else {
      parsed.run.reading.names.emplace_back(item);
    }
  }
}

// The codes of --unknown, comma-separated and written as a record writes
// them: a code that holds a blank or a comma is quoted ("not known"), and
// "" inside quotes stands for one quote.
std::vector<std::string> code_list(std::string_view option, std::string_view value) {
  std::vector<std::string> codes(1);
  bool quoted = false;
  for (size_t k = 0; k < value.size(); ++k) {
    const char c = value[k];
    if (c == '"' && quoted && k + 1 < value.size() && value[k + 1] == '"') {
      codes.back() += '"';
      ++k;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      codes.emplace_back();
    } else {
      codes.back() += c;
    }
  }
  if (quoted) bad_value(option, value, "a quote is not closed");
  for (const std::string& code : codes) {
    if (code.empty()) bad_value(option, value, "an empty item in the comma-separated list");
  }
  return codes;
}

void take_separator(ParsedOptions& parsed, std::string_view option, std::string_view value) {
  using input::Separator;
  for (Separator s : {Separator::kTab, Separator::kComma, Separator::kSemicolon, Separator::kBlank}) {
    if (value == input::separator_name(s)) {
      parsed.run.reading.separator = s;
      return;
    }
  }
  bad_value(option, value, "expected tab, comma, semicolon or blank");
}

void take_header(ParsedOptions& parsed, input::LineRequest::Header header) {
  if (parsed.run.reading.header != input::LineRequest::Header::kDetect) {
    throw UsageError{"--header and --no-header cannot be given together"};
  }
  parsed.run.reading.header = header;
}

void take_unknown(ParsedOptions& parsed, std::string_view option, std::string_view value) {
  for (std::string& code : code_list(option, value)) {
    if (code.size() > input::kFieldWidth) bad_value(option, value, "a code is longer than 25 characters");
    parsed.run.unknown.push_back(std::move(code));
  }
}

void take_drop_periods(ParsedOptions& parsed, std::string_view option, std::string_view value) {
  for (std::string& code : code_list(option, value)) parsed.run.drop_periods.push_back(std::move(code));
}

constexpr unsigned kMaxThreads = 1024;

const Option kOptions[] = {
    {"--pedigree", "FILE", "the pedigree file (required)",
     [](ParsedOptions& p, std::string_view o, std::string_view v) { p.run.pedigree = file_value(o, v); }},
    {"--fields", "A,S,D,P,T",
     "field numbers (or, with --header, column names) of animal, sire, dam, population and period (default 1,2,3,4,5)",
     take_fields},
    {"--separator", "SEP", "tab, comma, semicolon or blank (default: from the first line)", take_separator},
    {"--header", "", "the first line names the columns: skip it (--fields may use the names)",
     [](ParsedOptions& p, std::string_view, std::string_view) { take_header(p, input::LineRequest::Header::kYes); }},
    {"--no-header", "", "read the first line as a record, even where it looks like a header",
     [](ParsedOptions& p, std::string_view, std::string_view) { take_header(p, input::LineRequest::Header::kNo); }},
    {"--output", "FILE", "the result table (default: the pedigree's name with .out, in this folder)",
     [](ParsedOptions& p, std::string_view o, std::string_view v) { p.run.output = table_or_log_value(o, v); }},
    {"--log", "FILE", "the run log (default: the pedigree's name with .log, in this folder)",
     [](ParsedOptions& p, std::string_view o, std::string_view v) { p.run.log = table_or_log_value(o, v); }},
    {"--csv", "FILE", "the results for R or Python, a row per pair and period (comma-separated; - for standard output)",
     [](ParsedOptions& p, std::string_view o, std::string_view v) { p.run.results.csv = result_value(p, o, v); }},
    {"--inbreeding", "FILE", "every animal's inbreeding coefficient and generations (tab-separated; - for standard output)",
     [](ParsedOptions& p, std::string_view o, std::string_view v) { p.run.results.inbreeding = result_value(p, o, v); }},
    {"--report", "FILE", "a page with charts and the result table, for a browser",
     [](ParsedOptions& p, std::string_view o, std::string_view v) { p.run.results.report = file_value(o, v); }},
    {"--summary", "FILE",
     "diversity figures per population and period: founders, generations, Ne (comma-separated; - for standard output)",
     [](ParsedOptions& p, std::string_view o, std::string_view v) { p.run.results.summary = result_value(p, o, v); }},
    {"--fstatistics", "FILE", "F statistics of the populations per period (comma-separated; - for standard output)",
     [](ParsedOptions& p, std::string_view o, std::string_view v) { p.run.results.fstatistics = result_value(p, o, v); }},
    {"--threads", "N", "worker threads (default: the CPUs this process may run on)",
     [](ParsedOptions& p, std::string_view o, std::string_view v) {
       p.run.threads = static_cast<unsigned>(whole_number(o, v, v, 1, kMaxThreads));
     }},
    {"--unknown", "CODES", "more parent codes that mean unknown, comma-separated (for example NA,.)", take_unknown},
    {"--drop-periods", "CODES",
     "periods to leave out of the results, comma-separated (for example 0000 for an unknown birth year); "
     "their animals stay in the pedigree as ancestors",
     take_drop_periods},
    {"--min-animals", "N", "the report's charts leave out groups of fewer animals (default 10)",
     [](ParsedOptions& p, std::string_view o, std::string_view v) {
       p.run.results.min_animals = whole_number(o, v, v, 1, INT32_MAX);
     }},
    {"--quiet", "", "show only errors and the final line on the screen",
     [](ParsedOptions& p, std::string_view, std::string_view) { p.run.quiet = true; }},
    {"--help", "", "show this text and end",
     [](ParsedOptions& p, std::string_view, std::string_view) { p.command = Command::kHelp; }},
    {"--version", "", "show the version and end",
     [](ParsedOptions& p, std::string_view, std::string_view) { p.command = Command::kVersion; }},
};

const Option* find_option(std::string_view name) {
  for (const Option& option : kOptions) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

}  // namespace

ParsedOptions parse_options(std::span<const std::string> args) {
  ParsedOptions parsed;
  std::vector<const Option*> seen;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string_view arg = args[k];
    if (!arg.starts_with("--")) throw UsageError{"unexpected argument \"" + std::string(arg) + "\""};
    const size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const Option* option = find_option(name);
    if (option == nullptr) throw UsageError{"unknown option \"" + std::string(name) + "\""};
    for (const Option* earlier : seen) {
      if (earlier == option) throw UsageError{"option " + std::string(name) + " is given twice"};
    }
    seen.push_back(option);
    std::string_view value;
    if (option->value.empty()) {
      if (equals != std::string_view::npos) throw UsageError{"option " + std::string(name) + " takes no value"};
    } else if (equals != std::string_view::npos) {
      value = arg.substr(equals + 1);
    } else if (k + 1 < args.size()) {
      value = args[++k];
    } else {
      throw UsageError{"option " + std::string(name) + " needs a value (" + std::string(option->value) + ")"};
    }
    option->take(parsed, name, value);
  }
  for (const std::string& arg : args) parsed.run.command_line += (parsed.run.command_line.empty() ? "velmora " : " ") + arg;
  if (!parsed.run.reading.names.empty() && parsed.run.reading.header != input::LineRequest::Header::kYes) {
    throw UsageError{"--fields names columns, which needs --header (the first line holds the names)"};
  }
  if (parsed.command == Command::kRun && parsed.run.pedigree.empty()) {
    throw UsageError{"no pedigree file: --pedigree FILE is required"};
  }
  return parsed;
}

std::string usage_text() {
  std::string text =
      "Usage: velmora --pedigree FILE [options]\n"
      "       velmora PARAMETER-FILE      (the eight-line parameter file)\n"
      "       velmora                     (the same eight values from a dialogue)\n"
      "\n"
      "Drift variance between populations over time, from an animal pedigree.\n"
      "\n"
      "Options:\n";
  for (const Option& option : kOptions) {
    std::string left("  ");
    left.append(option.name);
    if (!option.value.empty()) left.append(" ").append(option.value);
    left.resize(std::max<size_t>(left.size() + 2, 24), ' ');
    text.append(left).append(option.help).append("\n");
  }
  text +=
      "\n"
      "Pedigree file:\n"
      "  Text, one record per line, each with the fields of the first; separated by tabs, commas,\n"
      "  semicolons (two in a row leave an empty field) or blanks, found from the first line.\n"
      "  Quotes group a value (\"Hof 12\"). Each record names an animal, its sire, its dam, its\n"
      "  population and its period. An empty parent, 0, or a code with a hyphen is an unknown\n"
      "  parent (add others with --unknown). Codes are kept whole; one record will do.\n"
      "  Population and period codes sort as text (10 before 9): pad numbers to one width.\n"
      "\n"
      "Exit status:\n"
      "  0  finished\n"
      "  1  stopped because of the data with \"Program has terminated\" (a loop in the pedigree,\n"
      "     a field number outside the record; the reason on the screen and in the log)\n"
      "  2  an option that cannot be used, or a file that cannot be opened, read or written,\n"
      "     or a line that cannot be read (one line naming the file and the line)\n"
      "  128+N  ended by signal N (interrupt, hang-up, termination, a closed pipe); no file changed\n"
      "  other  the code table's fatal reports end with their own exit codes\n";
  return text;
}

std::string version_text() { return std::string("velmora ") + VELMORA_VERSION; }

std::string default_result_name(const std::string& pedigree, const std::string& extension) {
  std::filesystem::path name = std::filesystem::path(pedigree).filename();
  if (name.empty()) name = "velmora";  // a name that ends in a slash
  std::string result = name.stem().string() + extension;
  if (result == name.string()) result = name.string() + extension;
  return result;
}

}  // namespace vm
