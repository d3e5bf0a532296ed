// Helpers of the tests that run the program on files: the banner every
// run shows, and whole-file reads and writes.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace velmora_test {

inline const char* const kBanner =
    "  ***************************************************************************** \n"
    "  *** Velmora                                                               *** \n"
    "  *** - estimation of drift variance between populations over time          *** \n"
    "  ***************************************************************************** \n"
    "\n";

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::filesystem::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

}  // namespace velmora_test
