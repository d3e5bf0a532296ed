// Helpers of the tests that run the program on files: the banner every
// run shows, whole-file reads and writes, and the one runner of the
// program as a process in a scratch folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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

struct Result {
  int status = -1;  // -1: ended by a signal (or by the time limit)
  std::string out, err;
};

// A scratch folder of its own for every test, and runs of the program in
// it. Standard input, output and error go through files beside the folder,
// so the folder holds nothing but what the run made.
class ProgramRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           ("velmora_" + std::string(test->test_suite_name()) + "_" + std::to_string(::getpid()) + "_" + test->name());
    io_ = dir_.string() + ".io";
    for (const auto& d : {dir_, io_}) {
      std::filesystem::remove_all(d);
      std::filesystem::create_directories(d);
    }
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    std::filesystem::remove_all(io_);
  }

  // Runs velmora in the scratch folder (or in `folder`) with `args`
  // (already quoted), standard input from `input`, no descriptor of the
  // test's own beyond the standard three, under a time limit (a hang fails
  // the case); `wrap` is a command the program runs under (taskset,
  // script).
  Result run(const std::string& args, const std::string& input = "", const std::filesystem::path& folder = {},
             const std::string& wrap = "") {
    const std::filesystem::path where = folder.empty() ? dir_ : folder;
    write_file(io_ / "stdin.txt", input);
    const std::string cmd = "cd '" + where.string() + "' && timeout 120 " + wrap + " '" + VELMORA_BINARY + "' " + args +
                            " <'" + (io_ / "stdin.txt").string() + "' >'" + (io_ / "stdout.txt").string() + "' 2>'" +
                            (io_ / "stderr.txt").string() + "' 3<&- 4<&- 5<&- 6<&- 7<&- 8<&- 9<&-";
    const int raw = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = read_file(io_ / "stdout.txt");
    r.err = read_file(io_ / "stderr.txt");
    return r;
  }
  std::filesystem::path path(const std::string& name) const { return dir_ / name; }
  void write(const std::string& name, const std::string& text) const { write_file(dir_ / name, text); }
  bool exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }
  std::string read(const std::string& name) const { return read_file(dir_ / name); }

  std::filesystem::path dir_, io_;
};

}  // namespace velmora_test
