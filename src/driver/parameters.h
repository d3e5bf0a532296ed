// The run parameters: from the parameter file named on the command line,
// or from the eight-prompt dialogue.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/sink.h"

namespace vm {

// File names keep their first 50 characters; trailing blanks are no part of
// a name, and an all-blank name counts as not given.
inline constexpr size_t kNameLength = 50;

struct Parameters {
  std::string pedigree;
  int32_t animal = 0, sire = 0, dam = 0, pop = 0, period = 0;
  std::string output;
  std::string log;
};

// A name as given: first 50 characters, without trailing blanks.
std::string file_name(std::string_view text);

// Reads the eight lines of a parameter file. FileError when it cannot be
// opened or read, ends early, or a field number is not an integer.
Parameters read_parameter_file(const std::string& path);

// The dialogue: each prompt on the screen (flushed), each answer a line of
// `input`. FileError when the input ends or an answer is not an integer.
Parameters run_dialogue(std::FILE* input, Sink& screen);

}  // namespace vm
