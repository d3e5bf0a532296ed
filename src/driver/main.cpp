// velmora: drift variance between populations over time, from a pedigree.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "common/temp_files.h"
#include "driver/run.h"

namespace {

class StderrSink : public vm::Sink {
 public:
  void write(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stderr); }
  void flush() override { std::fflush(stderr); }
};

}  // namespace

int main(int argc, char** argv) {
  // Beyond a file-size limit a write fails like any other (an error line
  // naming the file) instead of ending the process without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  vm::remove_temporaries_on_signals();
  std::vector<std::string> args(argv, argv + argc);
  vm::StdoutSink screen;
  StderrSink errors;
  int status = vm::run_velmora(args, stdin, screen, errors);
  std::fflush(stdout);
  return status;
}
