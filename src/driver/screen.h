// The screen of an option run. The stages write the same lines in both
// interfaces and tell their progress (common/progress.h); this screen
// decides what of them a person sees:
// - plain: every line as written and the stages' classic announcements and
//   count lines (the classic screen, byte for byte);
// - quiet: no stage announcements and no progress counts, so only errors,
//   warnings and the final line remain;
// - progress (standard output is a terminal): each stage is one line that
//   updates in place with the share done and the time the stage has taken.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/progress.h"
#include "common/sink.h"

namespace vm {

class OptionScreen : public Sink, public Progress {
 public:
  enum class Mode { kPlain, kQuiet, kProgress };
  // `clock` gives seconds since some fixed start (tests pass their own).
  using Clock = double (*)();
  OptionScreen(Sink& screen, Mode mode, Clock clock = steady_seconds);

  void write(std::string_view text) override;
  // Ends an open progress line first, so that what follows on the
  // terminal (an error on the error stream) starts on a line of its own.
  void flush() override;

  void stage(std::string_view name, int64_t total) override;
  void advance(int64_t units) override;

  // Whether each period's line belongs on this screen (only the plain
  // one shows them; the others show the periods' share done).
  bool period_lines() const { return mode_ == Mode::kPlain; }

  static double steady_seconds();

 private:
  void draw();
  void end_progress_line(bool completed);

  Sink& screen_;
  Mode mode_;
  Clock clock_;
  StageLines classic_;  // the plain screen's stage lines

  // The stage on the terminal.
  std::string title_;
  int64_t total_ = 0, done_ = 0;
  double started_ = 0;
  bool open_ = false;  // the stage line is on the screen without its "\n"
  int shown_percent_ = -1;
  int64_t shown_seconds_ = -1;
};

}  // namespace vm
