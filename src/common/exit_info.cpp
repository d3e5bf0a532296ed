#include "common/exit_info.h"

#include <algorithm>
#include <cmath>

#include "common/format.h"

namespace vm {
namespace {

constexpr size_t kLineLength = 1024;
std::string g_program_name;

// One value after the message: a whole number as an integer one column
// wider than its digits, anything else in F12.4.
std::string format_value(float v) {
  const double value = v;
  if (std::fabs(value - std::trunc(value)) > 0.0001) return fmt_F(value, 12, 4);
  int w = 2;
  const double magnitude = std::fabs(value);
  if (magnitude > 1) w = static_cast<int>(std::trunc(std::log10(magnitude))) + 2;
  if (w > 10) w = 2;
  return fmt_I(static_cast<int64_t>(std::trunc(value)), w);
}

}  // namespace

void set_program_name(std::string_view name) { g_program_name = std::string(name.substr(0, kLineLength)); }

std::string exit_info_report(std::string_view message, int code, std::span<const float> values) {
  std::string x(message.substr(0, kLineLength));
  for (float v : values) {
    x = std::string(rtrim(x));
    if (x.size() + 1 >= kLineLength) break;
    x += ' ';
    x += format_value(v);
    if (x.size() > kLineLength) x.resize(kLineLength);
  }
  std::string report;
  std::string_view line = rtrim(x);
  if (!message.empty()) report.append(line).append("\n");
  std::string_view program = rtrim(g_program_name);
  if (!program.empty()) report.append("Hoofdprogramma: ").append(program).append("\n");
  report.append(" Hoofdprogramma wordt nu afgesloten met exitcode:").append(fmt_I(code, 5)).append("\n");
  return report;
}

void EXIT_INFO(std::string_view message, int code, std::initializer_list<float> values) {
  std::span<const float> shown(values.begin(), std::min<size_t>(values.size(), 5));
  throw FatalExit{code, exit_info_report(message, code, shown)};
}

}  // namespace vm
