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

// The report text of a fatal end (lines with "\n"); `program` is argument
// 0 of the command line, shown on its second line.
std::string exit_info_report(const FatalExit& fatal, std::string_view program);

[[noreturn]] void EXIT_INFO(std::string_view message, int code, std::initializer_list<float> values = {});

}  // namespace vm
