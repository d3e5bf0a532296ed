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

// The error stream without the program's notes ("velmora: warning: ..."
// lines), which any run may give.
inline std::string without_warnings(const std::string& errors) {
  std::string kept;
  size_t start = 0;
  while (start < errors.size()) {
    size_t end = errors.find('\n', start);
    end = end == std::string::npos ? errors.size() : end + 1;
    if (errors.compare(start, 18, "velmora: warning: ") != 0) kept.append(errors, start, end - start);
    start = end;
  }
  return kept;
}

inline void write_file(const std::filesystem::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

}  // namespace velmora_test
