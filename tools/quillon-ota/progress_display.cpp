#include "progress_display.h"

#include "terminal_text.h"

namespace quillon::ota_tool {
namespace {

constexpr int kBarCells = 30;
// Redrawing more often than this only makes the terminal busy.
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

}  // namespace

ProgressSample ProgressDisplay::sample() const {
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started_;
  return {sent_, total_, elapsed.count()};
}

void ProgressDisplay::begin(std::int64_t total, std::chrono::steady_clock::duration ago) {
  started_ = std::chrono::steady_clock::now() - ago;
  total_ = total;
  sent_ = 0;
  last_step_ = -1;
  active_ = true;
  if (style_ == Style::Bar) draw_bar();
}

void ProgressDisplay::update(std::int64_t sent) {
  if (!active_) return;
  sent_ = sent;
  if (style_ == Style::Bar) {
    if (std::chrono::steady_clock::now() - last_draw_ >= kRedrawEvery) draw_bar();
  } else if (style_ == Style::Lines) {
    const auto s = sample();
    const int step = progress_line_step(s);
    if (step > last_step_) {
      last_step_ = step;
      std::fprintf(out_, "%s\n", format_progress_line(s).c_str());
      std::fflush(out_);
    }
  }
}

void ProgressDisplay::draw_bar() {
  last_draw_ = std::chrono::steady_clock::now();
  const auto columns = line_columns(size_ ? size_() : TerminalSize{});
  const auto line = lay_out_progress_rows({{"", "", sample()}}, columns, kBarCells).front();
  // \r and "erase to end of line": the line may have got shorter.
  std::fprintf(out_, "\r%s\x1b[K", line.c_str());
  std::fflush(out_);
  bar_on_screen_ = true;
}

void ProgressDisplay::end() {
  if (!active_) return;
  active_ = false;
  if (style_ == Style::Bar) {
    draw_bar();
    std::fputc('\n', out_);
    bar_on_screen_ = false;
  }
  std::fflush(out_);
}

void ProgressDisplay::message(const char* text) {
  if (bar_on_screen_) {
    std::fputs("\r\x1b[K", out_);
    bar_on_screen_ = false;
  }
  std::fprintf(out_, "%s\n", tools::printable(text).c_str());
  std::fflush(out_);
  if (active_ && style_ == Style::Bar) draw_bar();
}

}  // namespace quillon::ota_tool
