// The run driver: banner, parameters, files, the stages in their fixed
// order, and the program's endings.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "common/sink.h"

namespace vm {

// Runs the whole program with `args` (args[0] is the program as invoked).
// Writes the screen to `screen`, the error stream to `errors`, reads the
// dialogue from `input`; returns the exit status.
int run_velmora(const std::vector<std::string>& args, std::FILE* input, Sink& screen, Sink& errors);

}  // namespace vm
