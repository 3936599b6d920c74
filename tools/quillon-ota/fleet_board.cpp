#include "fleet_board.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "progress_format.h"
#include "terminal_text.h"

namespace quillon::ota_tool {
namespace {

// A row reads "<name> <identifier>  [bar]  pct  sent / total  rate  ETA",
// about 125 columns with a 36-character identifier.
constexpr std::size_t kNameColumns = 14;
constexpr int kBarCells = 20;
// One pace for the whole block: with many modules, redrawing on every
// row's update would only keep the terminal busy.
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

}  // namespace

// What the board has on its stream: the rows in the live block and how many
// lines of it are on screen now, with the cursor just below them.
struct FleetBoard::Screen {
  std::FILE* out;
  Style style;
  Clock clock;
  // The rows in progress, in the order they began (Bar style only).
  std::vector<Row*> live;
  std::size_t drawn = 0;
  std::chrono::steady_clock::time_point last_draw{};

  // Moves up over the block drawn last time, prints `above` as permanent
  // lines in its place and draws the block (as it is now) below them.
  void draw(const std::vector<std::string>& above);
  bool on_block(const Row* row) const { return std::find(live.begin(), live.end(), row) != live.end(); }
  void leave_block(const Row* row) { live.erase(std::remove(live.begin(), live.end(), row), live.end()); }
  void finish();
};

class FleetBoard::Row final : public TransferView {
 public:
  Row(std::weak_ptr<Screen> screen, std::string_view identifier, std::string_view name)
      : screen_(std::move(screen)),
        tag_("[" + tools::printable(identifier) + "] "),
        label_(tools::fit_columns(name, kNameColumns) + " " + tools::printable(identifier) + "  ") {}

  ~Row() override {
    const auto screen = screen_.lock();
    if (!screen || !screen->on_block(this)) return;
    screen->leave_block(this);
    screen->draw({});
  }
  Row(const Row&) = delete;
  Row& operator=(const Row&) = delete;

  void begin(std::int64_t total, std::chrono::steady_clock::duration ago = {}) override {
    const auto screen = screen_.lock();
    if (!screen) return;
    started_ = screen->clock() - ago;
    total_ = total;
    sent_ = 0;
    last_step_ = -1;
    active_ = true;
    if (screen->style != Style::Bar) return;
    if (!screen->on_block(this)) screen->live.push_back(this);
    screen->draw({});
  }

  void update(std::int64_t sent) override {
    const auto screen = screen_.lock();
    if (!active_ || !screen) return;
    sent_ = sent;
    const auto now = screen->clock();
    if (screen->style == Style::Bar) {
      if (now - screen->last_draw >= kRedrawEvery) screen->draw({});
    } else if (screen->style == Style::Lines) {
      const auto s = sample(now);
      const int step = progress_line_step(s);
      if (step <= last_step_) return;
      last_step_ = step;
      screen->draw({tag_ + format_progress_line(s)});
    }
  }

  // A bar's final state becomes a permanent line above the block.
  void end() override {
    const auto screen = screen_.lock();
    if (!active_ || !screen) return;
    active_ = false;
    if (screen->style != Style::Bar) return;
    screen->leave_block(this);
    screen->draw({bar_text(screen->clock())});
  }

  void message(const char* text) override {
    if (const auto screen = screen_.lock()) screen->draw({tag_ + tools::printable(text)});
  }

  std::string bar_text(std::chrono::steady_clock::time_point now) const {
    return label_ + format_progress_bar(sample(now), kBarCells);
  }

  // The board was finished under this row: it is off the screen for good.
  void drop() { active_ = false; }

 private:
  ProgressSample sample(std::chrono::steady_clock::time_point now) const {
    const std::chrono::duration<double> elapsed = now - started_;
    return {sent_, total_, elapsed.count()};
  }

  std::weak_ptr<Screen> screen_;
  const std::string tag_;
  const std::string label_;
  std::chrono::steady_clock::time_point started_{};
  std::int64_t total_ = -1;
  std::int64_t sent_ = 0;
  int last_step_ = -1;
  bool active_ = false;
};

void FleetBoard::Screen::draw(const std::vector<std::string>& above) {
  std::string text;
  if (drawn > 0) text += "\x1b[" + std::to_string(drawn) + "A\r";
  // Lines above the block are printed over it, so what is left of it must go first.
  const bool cleared_first = drawn > 0 && !above.empty();
  if (cleared_first) text += "\x1b[J";
  for (const auto& line : above) text += line + "\n";
  const auto now = clock();
  if (!live.empty()) {
    text += "\x1b[?7l";
    for (const Row* row : live) text += "\r" + row->bar_text(now) + "\x1b[K\n";
    text += "\x1b[?7h";
  }
  if (!cleared_first && live.size() < drawn) text += "\x1b[J";
  drawn = live.size();
  last_draw = now;
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

void FleetBoard::Screen::finish() {
  for (Row* row : live) row->drop();
  live.clear();
  draw({});
}

FleetBoard::FleetBoard(std::FILE* out, Style style, Clock clock)
    : screen_(std::make_shared<Screen>(Screen{out, style, std::move(clock), {}, 0, {}})) {}

FleetBoard::~FleetBoard() { finish(); }

std::unique_ptr<TransferView> FleetBoard::row(std::string identifier, std::string name) {
  return std::make_unique<Row>(screen_, identifier, name);
}

void FleetBoard::message(const char* text) { screen_->draw({tools::printable(text)}); }

void FleetBoard::finish() { screen_->finish(); }

}  // namespace quillon::ota_tool
