// The program's own endings, thrown up to main, which writes the last line
// and ends the process. Stages stay testable in-process.
#pragma once

#include <string>

#include "common/sink.h"

namespace vm {

// A stop with a message ("Program has terminated"): the message is the one
// line written to the screen, exit status 0. An empty
// message is a plain stop that writes nothing.
struct Stop {
  std::string message;
};

// The end through the exit report (exit_info.h): its first line, the
// message with its values ("" for none), and the code the process ends with.
struct FatalExit {
  int code;
  std::string message;
};

// A file that cannot be opened, read or written: one line on the error
// stream, exit status 2.
struct FileError {
  std::string message;
};

// The exit status of an option run that stops because of its data (a loop,
// a field number outside the record): not 0, which means finished.
inline constexpr int kStoppedOnData = 1;

inline constexpr const char* kTerminated = "Program has terminated";
// The last line of a run that went through.
inline constexpr const char* kFinished = "Finished.";

// The end of a run on an error the user must see in both places: the line
// goes to the screen and the log, then "Program has terminated".
[[noreturn]] inline void stop_with_line(const Report& report, const std::string& line) {
  report.screen.write(line);
  report.log.write(line);
  throw Stop{kTerminated};
}

}  // namespace vm
