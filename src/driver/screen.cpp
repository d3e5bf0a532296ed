#include "driver/screen.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace vm {
namespace {

// The stages' announcements (without their leading blanks), and how their
// count lines are measured: passes over the pedigree file, or animals.
struct StageLine {
  std::string_view text;
  int passes;
  bool by_animals;
};

constexpr std::array<StageLine, 7> kStages = {{
    {"Allocating memory ...", 2, false},  // counting, then the collecting lines at once
    {"Reading animals ...", 1, false},
    {"Reading pedigree ...", 1, false},
    {"Assigning generation numbers ...", 0, false},
    {"Sorting pedigree on generation number ...", 0, false},
    {"Updating links ...", 0, false},
    {"Calculating coefficients of inbreeding ...", 0, true},
}};
constexpr std::string_view kPeriodLine = "Calculating drift variance between populations for: ";

std::string_view without_blanks_before(std::string_view line) {
  const size_t first = line.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string_view() : line.substr(first);
}

const StageLine* stage_of(std::string_view line) {
  const std::string_view text = without_blanks_before(line.substr(0, line.size() - 1));
  for (const StageLine& stage : kStages) {
    if (text == stage.text) return &stage;
  }
  return nullptr;
}

std::string elapsed_text(int64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

}  // namespace

OptionScreen::OptionScreen(Sink& screen, Mode mode, const ProgressBasis& basis, Clock clock)
    : screen_(screen), mode_(mode), basis_(basis), clock_(clock) {}

double OptionScreen::steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

OptionScreen::Kind OptionScreen::kind_of(std::string_view line) {
  const std::string_view text = without_blanks_before(line.substr(0, line.size() - 1));
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) return Kind::kCount;
  if (stage_of(line) != nullptr || text.starts_with(kPeriodLine)) return Kind::kStage;
  return Kind::kOther;
}

void OptionScreen::write(std::string_view text) {
  if (mode_ == Mode::kPlain) {
    screen_.write(text);
    return;
  }
  for (;;) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      partial_.append(text);
      return;
    }
    if (partial_.empty()) {
      line(text.substr(0, end + 1));
    } else {
      partial_.append(text.substr(0, end + 1));
      line(partial_);
      partial_.clear();
    }
    text.remove_prefix(end + 1);
  }
}

void OptionScreen::flush() {
  if (mode_ == Mode::kProgress && open_) {
    screen_.write("\n");
    open_ = false;
  }
  screen_.flush();
}

void OptionScreen::line(std::string_view line) {
  const Kind kind = kind_of(line);
  if (mode_ == Mode::kQuiet) {
    if (kind == Kind::kOther) screen_.write(line);
    return;
  }
  if (kind == Kind::kCount && (passes_ > 0 || by_animals_)) {
    show_progress(std::stoll(std::string(line)));
    return;
  }
  end_progress_line(kind == Kind::kStage || line == "Finished.\n");
  if (kind != Kind::kStage) {
    stage_.clear();
    passes_ = 0;
    by_animals_ = false;
    screen_.write(line);
    return;
  }
  const StageLine* stage = stage_of(line);
  stage_.assign(line.substr(0, line.size() - 1));
  passes_ = stage != nullptr ? stage->passes : 0;
  by_animals_ = stage != nullptr && stage->by_animals;
  pass_ = 0;
  last_count_ = 0;
  started_ = clock_();
  shown_percent_ = -1;
  shown_seconds_ = -1;
  screen_.write(stage_);
  open_ = true;
}

void OptionScreen::show_progress(int64_t count) {
  if (count < last_count_) ++pass_;  // the next pass over the file began
  last_count_ = count;
  double done = 0;
  if (by_animals_) {
    done = basis_.animals > 0 ? static_cast<double>(count) / basis_.animals : 0;
  } else if (basis_.pedigree != nullptr && basis_.pedigree->size() > 0) {
    const double share = static_cast<double>(basis_.pedigree->position()) / static_cast<double>(basis_.pedigree->size());
    done = (std::min(pass_, passes_ - 1) + share) / passes_;
  }
  const int percent = static_cast<int>(std::clamp(done, 0.0, 1.0) * 100);
  const int64_t seconds = static_cast<int64_t>(clock_() - started_);
  if (percent != shown_percent_ || seconds != shown_seconds_) draw(percent);
}

void OptionScreen::draw(int percent) {
  const int64_t seconds = static_cast<int64_t>(clock_() - started_);
  char share[8];
  std::snprintf(share, sizeof share, "%3d%%", percent);
  std::string text = "\r";
  text.append(stage_).append("  ").append(share).append("  ").append(elapsed_text(seconds));
  screen_.write(text);
  open_ = true;
  shown_percent_ = percent;
  shown_seconds_ = seconds;
}

void OptionScreen::end_progress_line(bool completed) {
  if (!open_) return;
  if (completed && shown_percent_ >= 0) draw(100);
  screen_.write("\n");
  open_ = false;
}

}  // namespace vm
