// The screen of an option run. The stages write the same lines in both
// interfaces; this sink decides what of them a person sees:
// - plain: every line as written (the classic screen, byte for byte);
// - quiet: no stage announcements and no progress counts, so only errors,
//   warnings and the final line remain;
// - progress (standard output is a terminal): each stage's count lines
//   become one line that updates in place with the share done and the time
//   the stage has taken.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/sink.h"
#include "input/record_reader.h"

namespace vm {

// What a stage's counts are measured against: the share of the pedigree
// file read (the passes over the file) and the number of animals (the
// inbreeding). The driver fills it in as the run learns them.
struct ProgressBasis {
  const input::PedigreeFile* pedigree = nullptr;
  int32_t animals = 0;
};

class OptionScreen : public Sink {
 public:
  enum class Mode { kPlain, kQuiet, kProgress };
  // `clock` gives seconds since some fixed start (tests pass their own).
  using Clock = double (*)();
  OptionScreen(Sink& screen, Mode mode, const ProgressBasis& basis, Clock clock = steady_seconds);

  void write(std::string_view text) override;
  // Ends an open progress line first, so that what follows on the
  // terminal (an error on the error stream) starts on a line of its own.
  void flush() override;

  static double steady_seconds();

 private:
  enum class Kind { kStage, kCount, kOther };
  static Kind kind_of(std::string_view line);
  void line(std::string_view line);
  void show_progress(int64_t count);
  void draw(int percent);
  void end_progress_line(bool completed);

  Sink& screen_;
  Mode mode_;
  const ProgressBasis& basis_;
  Clock clock_;
  std::string partial_;  // a line written in pieces, until its "\n"

  // The stage whose counts are shown.
  std::string stage_;         // its line without the "\n"
  int passes_ = 0;            // passes over the file it makes
  bool by_animals_ = false;   // counts animals, not records
  int pass_ = 0;              // the pass the counts belong to
  int64_t last_count_ = 0;
  double started_ = 0;
  bool open_ = false;         // the stage line is on the screen without its "\n"
  int shown_percent_ = -1;
  int64_t shown_seconds_ = -1;
};

}  // namespace vm
