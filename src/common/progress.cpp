#include "common/progress.h"

#include <array>

#include "common/format.h"

namespace vm {
namespace {

class NoProgress : public Progress {
 public:
  void stage(std::string_view, int64_t) override {}
  void advance(int64_t) override {}
};

struct StageText {
  std::string_view stage;
  std::string_view line;  // the announcement as written, "" for none
  int64_t count_every;
};

constexpr std::array<StageText, 9> kStageTexts = {{
    {"counting", "Allocating memory ...", kProgressRecords},
    {"collecting", "", kProgressRecords},  // the codes' pass: its counts follow the counting's
    {"animals", "Reading animals ...", kProgressRecords},
    {"parents", " Reading pedigree ...", kProgressRecords},
    {"generations", " Assigning generation numbers ...", 0},
    {"sorting", " Sorting pedigree on generation number ...", 0},
    {"links", " Updating links ...", 0},
    {"inbreeding", " Calculating coefficients of inbreeding ...", 1000},
    {"periods", "", 0},  // each period has a line of its own, with its name
}};

const StageText* text_of(std::string_view stage) {
  for (const StageText& t : kStageTexts) {
    if (t.stage == stage) return &t;
  }
  return nullptr;
}

}  // namespace

Progress& no_progress() {
  static NoProgress none;
  return none;
}

void advance(Progress& progress, int64_t units) {
  progress.advance(units);
  if (progress.stop_requested()) throw velmora::Error(velmora::Error::Kind::kInterrupted, "the computation was interrupted");
}

std::string_view StageLines::announcement(std::string_view stage) {
  const StageText* t = text_of(stage);
  if (t == nullptr) return {};
  std::string_view line = t->line;
  while (line.starts_with(' ')) line.remove_prefix(1);
  return line;
}

void StageLines::stage(std::string_view name, int64_t) {
  const StageText* t = text_of(name);
  every_ = t != nullptr ? t->count_every : 0;
  done_ = 0;
  if (t != nullptr && !t->line.empty()) screen_.write(FreeLine().text(t->line).str());
}

void StageLines::advance(int64_t units) {
  if (every_ == 0) return;
  const int64_t before = done_;
  done_ += units;
  for (int64_t line = (before / every_ + 1) * every_; line <= done_; line += every_) screen_.write(FreeLine().num(line).str());
}

}  // namespace vm
