// EXIT_INFO: the fatal end of a run. Builds the three-line report (message
// with up to five values, the program as invoked, the exit code) and throws
// it as a FatalExit; main writes it to the error stream and exits with the
// code.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "common/stop.h"

namespace vm {

// Argument 0 of the command line, shown on the report's second line.
void set_program_name(std::string_view name);

// The report text as EXIT_INFO writes it (lines with "\n").
std::string exit_info_report(std::string_view message, int code, std::span<const float> values);

[[noreturn]] void EXIT_INFO(std::string_view message, int code, std::initializer_list<float> values = {});

}  // namespace vm
