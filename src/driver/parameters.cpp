#include "driver/parameters.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/format.h"
#include "common/stop.h"

namespace vm {
namespace {

// Reads one line without its line end (a carriage return before the
// newline belongs to the line end); false at the end of the input.
bool read_line(std::FILE* in, std::string& line) {
  line.clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(in)) != EOF) {
    any = true;
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  if (!any) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

bool is_separator(char c) { return c == ' ' || c == '\t' || c == ','; }

// The first value of a line, or an empty view for a line without values.
std::string_view first_value(std::string_view line) {
  size_t b = 0;
  while (b < line.size() && (line[b] == ' ' || line[b] == '\t')) ++b;
  size_t e = b;
  while (e < line.size() && !is_separator(line[e])) ++e;
  return line.substr(b, e - b);
}

bool parse_int32(std::string_view v, int32_t& out) {
  size_t i = 0;
  bool negative = false;
  if (i < v.size() && (v[i] == '+' || v[i] == '-')) negative = v[i++] == '-';
  if (i == v.size()) return false;
  int64_t value = 0;
  for (; i < v.size(); ++i) {
    if (v[i] < '0' || v[i] > '9') return false;
    value = value * 10 + (v[i] - '0');
    if (value > 2147483648LL) return false;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return false;
  out = static_cast<int32_t>(value);
  return true;
}

// Reads the eight values from a source of lines; `where` names the source
// in errors, `prompt` is called before each value.
template <class NextLine, class Prompt>
Parameters read_values(NextLine next_line, Prompt prompt, const std::string& where) {
  static const char* const kWhat[8] = {"the pedigree file name",      "the animal field number",
                                       "the sire field number",       "the dam field number",
                                       "the population field number", "the period field number",
                                       "the output file name",        "the log file name"};
  static const char* const kNamed[8] = {"pedigree file", "", "", "", "", "", "output file", "log file"};
  Parameters p;
  int32_t* numbers[5] = {&p.animal, &p.sire, &p.dam, &p.pop, &p.period};
  std::string line;
  int64_t line_number = 0;
  auto fail = [&](int item, const std::string& why) -> FileError {
    return FileError{std::string("cannot read ") + kWhat[item] + " from " + where + why};
  };
  for (int item = 0; item < 8; ++item) {
    prompt(item);
    if (item == 0 || item >= 6) {
      if (!next_line(line)) throw fail(item, ": it ends early");
      ++line_number;
      std::string name = file_name(line);
      if (is_cut(line)) p.cut.push_back({kNamed[item], name, std::string(rtrim(line))});
      if (item == 0) p.pedigree = name;
      if (item == 6) p.output = name;
      if (item == 7) p.log = name;
      continue;
    }
    // A line without any value is skipped; the rest of the line after the
    // value is ignored.
    for (;;) {
      if (!next_line(line)) throw fail(item, ": it ends early");
      ++line_number;
      std::string_view value = first_value(line);
      if (value.empty() && (line.find(',') == std::string::npos)) continue;
      if (!parse_int32(value, *numbers[item - 1])) {
        throw fail(item, ", line " + std::to_string(line_number) + ": \"" + std::string(value) + "\" is not an integer");
      }
      break;
    }
  }
  return p;
}

}  // namespace

std::string file_name(std::string_view text) { return std::string(rtrim(text.substr(0, std::min(text.size(), kNameLength)))); }

bool is_cut(std::string_view text) { return rtrim(text).size() > kNameLength; }

std::string cut_name_note(const CutName& cut) {
  return "velmora: warning: the " + cut.what + " name keeps its first " + std::to_string(kNameLength) +
         " characters: \"" + cut.name + "\" of \"" + cut.given + "\" (the option interface, velmora --pedigree FILE, " +
         "uses names whole)\n";
}

std::string cut_name_remark(const CutName& cut) {
  return " (the name was cut to its first " + std::to_string(kNameLength) + " characters from \"" + cut.given + "\")";
}

Parameters read_parameter_file(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw FileError{"cannot open parameter file \"" + path + "\": " + std::strerror(errno)};
  }
  if (!S_ISREG(st.st_mode)) throw FileError{"cannot read parameter file \"" + path + "\": not a regular file"};
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw FileError{"cannot open parameter file \"" + path + "\": " + std::strerror(errno)};
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{f};
  bool first = true;
  auto next_line = [&](std::string& line) {
    if (!read_line(f, line)) return false;
    if (first && line.starts_with(kByteOrderMark)) line.erase(0, kByteOrderMark.size());
    first = false;
    return true;
  };
  return read_values(next_line, [](int) {}, "parameter file \"" + path + "\"");
}

Parameters run_dialogue(std::FILE* input, Sink& screen) {
  static const char* const kPrompts[8] = {
      " Enter the name of the pedigree file ",  " Enter field number of Animal ",
      " Enter field number of Sire ",           " Enter field number of Dam ",
      " Enter field number of population ",     " Enter field number of period of comparing populations ",
      " Enter the name of the output file ",    " Enter the name of the log file "};
  return read_values([&](std::string& line) { return read_line(input, line); },
                     [&](int item) {
                       screen.write(FreeLine().text(kPrompts[item]).str());
                       screen.flush();
                     },
                     "standard input (\"-\")");
}

}  // namespace vm
