// The run parameters: from the parameter file named on the command line,
// or from the eight-prompt dialogue.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/sink.h"

namespace vm {

// File names keep their first 50 characters; trailing blanks are no part of
// a name, and an all-blank name counts as not given.
inline constexpr size_t kNameLength = 50;

// A file name that kept only its first 50 characters of a longer one.
struct CutName {
  std::string what;   // "pedigree file", "output file", ...
  std::string name;   // as used
  std::string given;  // as written, without trailing blanks
};

struct Parameters {
  std::string pedigree;
  int32_t animal = 0, sire = 0, dam = 0, pop = 0, period = 0;
  std::string output;
  std::string log;
  std::vector<CutName> cut;
};

// A name as given: first 50 characters, without trailing blanks.
std::string file_name(std::string_view text);
// The name is longer than 50 characters: file_name cuts it.
bool is_cut(std::string_view text);

// The note on the error stream for a cut name, and what an error about
// that name adds to say it was cut.
std::string cut_name_note(const CutName& cut);
std::string cut_name_remark(const CutName& cut);

// Reads the eight lines of a parameter file. FileError when it cannot be
// opened or read, ends early, or a field number is not an integer.
Parameters read_parameter_file(const std::string& path);

// The dialogue: each prompt on the screen (flushed), each answer a line of
// `input`. FileError when the input ends or an answer is not an integer.
Parameters run_dialogue(std::FILE* input, Sink& screen);

}  // namespace vm
