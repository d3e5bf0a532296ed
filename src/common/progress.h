// How far the long stages have come: each stage names itself and counts its
// units to a Progress (velmora.h); formatters turn that into the classic
// screen's announcements and count lines, or a line that updates in place.
#pragma once

#include <cstdint>
#include <string_view>

#include <velmora/velmora.h>

#include "common/sink.h"

namespace vm {

using velmora::Progress;

// `units` more done; a Progress that asks to stop ends the computation
// (velmora::Error of kind kInterrupted).
void advance(Progress& progress, int64_t units);

// The stages' screen lines as the classic interface writes them: each
// stage's announcement, then a count line at every so many units (every
// 100,000th record, every 1000th animal).
class StageLines : public Progress {
 public:
  explicit StageLines(Sink& screen) : screen_(screen) {}
  void stage(std::string_view name, int64_t total) override;
  void advance(int64_t units) override;

  // The announcement of a stage ("" for none), without its leading blank
  // and "\n".
  static std::string_view announcement(std::string_view stage);

 private:
  Sink& screen_;
  int64_t every_ = 0;  // units between count lines; 0: none
  int64_t done_ = 0;
};

}  // namespace vm
