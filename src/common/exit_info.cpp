#include "common/exit_info.h"

#include <algorithm>
#include <cmath>

#include "common/format.h"

namespace vm {
namespace {

constexpr size_t kLineLength = 1024;

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

// The message with its values, as one line of at most kLineLength.
std::string message_line(std::string_view message, std::span<const float> values) {
  std::string x(message.substr(0, kLineLength));
  for (float v : values) {
    x = std::string(rtrim(x));
    if (x.size() + 1 >= kLineLength) break;
    x += ' ';
    x += format_value(v);
    if (x.size() > kLineLength) x.resize(kLineLength);
  }
  return message.empty() ? std::string() : std::string(rtrim(x));
}

}  // namespace

std::string exit_info_report(const FatalExit& fatal, std::string_view program) {
  std::string report;
  if (!fatal.message.empty()) report.append(fatal.message).append("\n");
  program = rtrim(program.substr(0, kLineLength));
  if (!program.empty()) report.append("Hoofdprogramma: ").append(program).append("\n");
  report.append(" Hoofdprogramma wordt nu afgesloten met exitcode:").append(fmt_I(fatal.code, 5)).append("\n");
  return report;
}

void EXIT_INFO(std::string_view message, int code, std::initializer_list<float> values) {
  std::span<const float> shown(values.begin(), std::min<size_t>(values.size(), 5));
  throw FatalExit{code, message_line(message, shown)};
}

}  // namespace vm
