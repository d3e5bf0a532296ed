#include "driver/screen.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vm {
namespace {

// What the terminal shows for a stage: its classic announcement, or for
// the stages that have none of their own, a title (empty: the stage goes
// on the line of the one before).
std::string_view title_of(std::string_view stage) {
  if (stage == "periods") return "Calculating drift variance between populations ...";
  return StageLines::announcement(stage);
}

std::string elapsed_text(int64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

}  // namespace

OptionScreen::OptionScreen(Sink& screen, Mode mode, Clock clock)
    : screen_(screen), mode_(mode), clock_(clock), classic_(screen) {}

double OptionScreen::steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void OptionScreen::write(std::string_view text) {
  if (mode_ == Mode::kProgress && !text.empty()) end_progress_line(text == "Finished.\n");
  screen_.write(text);
}

void OptionScreen::flush() {
  if (mode_ == Mode::kProgress) end_progress_line(false);
  screen_.flush();
}

void OptionScreen::stage(std::string_view name, int64_t total) {
  if (mode_ == Mode::kPlain) classic_.stage(name, total);
  if (mode_ != Mode::kProgress) return;
  const std::string_view title = title_of(name);
  if (title.empty() && open_) return;  // counted on the line of the stage before
  end_progress_line(true);
  title_.assign(title);
  total_ = total;
  done_ = 0;
  started_ = clock_();
  shown_percent_ = -1;
  shown_seconds_ = -1;
  if (title_.empty()) return;
  screen_.write(title_);
  open_ = true;
}

void OptionScreen::advance(int64_t units) {
  if (mode_ == Mode::kPlain) classic_.advance(units);
  if (mode_ != Mode::kProgress || !open_) return;
  done_ += units;
  draw();
}

// The share done where the stage knows its total, else the units done;
// drawn again only when that or the elapsed second changes.
void OptionScreen::draw() {
  const int64_t seconds = static_cast<int64_t>(clock_() - started_);
  const int percent = total_ > 0 ? static_cast<int>(std::clamp(static_cast<double>(done_) / total_, 0.0, 1.0) * 100) : -1;
  if (percent == shown_percent_ && seconds == shown_seconds_) return;
  char share[32];
  if (percent >= 0) {
    std::snprintf(share, sizeof share, "%3d%%", percent);
  } else {
    std::snprintf(share, sizeof share, "%lld", static_cast<long long>(done_));
  }
  std::string text = "\r";
  text.append(title_).append("  ").append(share).append("  ").append(elapsed_text(seconds));
  screen_.write(text);
  shown_percent_ = percent;
  shown_seconds_ = seconds;
}

void OptionScreen::end_progress_line(bool completed) {
  if (!open_) return;
  if (completed && total_ > 0 && shown_percent_ >= 0 && shown_percent_ < 100) {
    done_ = total_;
    shown_percent_ = -1;  // drawn at 100 % whatever was shown
    draw();
  }
  screen_.write("\n");
  open_ = false;
}

}  // namespace vm
