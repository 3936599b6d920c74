#include "fleet_board.h"

#include <algorithm>
#include <vector>

#include "progress_format.h"
#include "terminal_text.h"

namespace quillon::ota_tool {
namespace {

// A row reads "<short identifier>  <name>  [bar]  pct  sent / total  rate
// ETA", about 100 columns with all its fields.
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
  Size size;
  // The rows in progress, in the order they began (Bar style only).
  std::vector<Row*> live;
  std::size_t drawn = 0;
  std::chrono::steady_clock::time_point last_draw{};

  // Moves up over the block drawn last time, prints `above` as permanent
  // lines in its place and draws the block (as it is now) below them.
  void draw(const std::vector<std::string>& above);
  TerminalSize terminal() const { return size ? size() : TerminalSize{}; }
  // A message as the lines to print: on a terminal broken to its width,
  // continuation lines indented by `indent`, so that the terminal never
  // wraps a line of its own (logs keep each message on one line).
  std::vector<std::string> message_lines(const std::string& text, std::size_t indent) const {
    if (style != Style::Bar) return {text};
    return tools::wrap_words(text, line_columns(terminal()), indent);
  }
  // `rows` laid out together, as lines of the terminal's width.
  std::vector<std::string> lay_out(const std::vector<const Row*>& rows, const TerminalSize& terminal,
                                   std::chrono::steady_clock::time_point now) const;
  bool on_block(const Row* row) const { return std::find(live.begin(), live.end(), row) != live.end(); }
  void leave_block(const Row* row) { live.erase(std::remove(live.begin(), live.end(), row), live.end()); }
  void finish();
};

class FleetBoard::Row final : public TransferView {
 public:
  Row(std::weak_ptr<Screen> screen, Style style, const std::string& identifier, const std::string& short_identifier,
      const std::string& name)
      : screen_(std::move(screen)),
        key_(tools::printable(short_identifier)),
        name_(name),
        tag_("[" + tools::printable(style == Style::Bar ? short_identifier : identifier) + "] ") {}

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
    std::vector<const Row*> rows{this};
    screen->leave_block(this);
    // Laid out with the rows still in progress, so that the columns line up.
    rows.insert(rows.end(), screen->live.begin(), screen->live.end());
    screen->draw({screen->lay_out(rows, screen->terminal(), screen->clock()).front()});
  }

  void message(const char* text) override {
    const auto screen = screen_.lock();
    if (screen) screen->draw(screen->message_lines(tag_ + tools::printable(text), tools::text_columns(tag_)));
  }

  ProgressRow progress_row(std::chrono::steady_clock::time_point now) const { return {key_, name_, sample(now)}; }

  // The board was finished under this row: it is off the screen for good.
  void drop() { active_ = false; }

 private:
  ProgressSample sample(std::chrono::steady_clock::time_point now) const {
    const std::chrono::duration<double> elapsed = now - started_;
    return {sent_, total_, elapsed.count()};
  }

  std::weak_ptr<Screen> screen_;
  const std::string key_;
  const std::string name_;
  const std::string tag_;
  std::chrono::steady_clock::time_point started_{};
  std::int64_t total_ = -1;
  std::int64_t sent_ = 0;
  int last_step_ = -1;
  bool active_ = false;
};

std::vector<std::string> FleetBoard::Screen::lay_out(const std::vector<const Row*>& rows,
                                                     const TerminalSize& terminal,
                                                     std::chrono::steady_clock::time_point now) const {
  std::vector<ProgressRow> progress;
  for (const Row* row : rows) progress.push_back(row->progress_row(now));
  return lay_out_progress_rows(progress, line_columns(terminal), kBarCells);
}

void FleetBoard::Screen::draw(const std::vector<std::string>& above) {
  const auto terminal = this->terminal();
  const auto now = clock();
  // The block and the cursor's line below it stay on the screen.
  std::vector<const Row*> shown(live.begin(), live.end());
  std::size_t hidden = 0;
  if (terminal.rows > 0 && shown.size() > terminal.rows - 1) {
    const std::size_t fit = terminal.rows > 2 ? terminal.rows - 2 : 0;
    hidden = shown.size() - fit;
    shown.resize(fit);
  }
  std::vector<std::string> block = lay_out(shown, terminal, now);
  if (hidden > 0) {
    std::string more = std::to_string(hidden) + " more in flight";
    if (const auto columns = line_columns(terminal); columns > 0 && tools::text_columns(more) > columns) {
      more = tools::fit_columns(more, columns);
    }
    block.push_back(std::move(more));
  }

  std::string text;
  if (drawn > 0) text += "\x1b[" + std::to_string(drawn) + "A\r";
  // Lines above the block are printed over it, so what is left of it must go first.
  const bool cleared_first = drawn > 0 && !above.empty();
  if (cleared_first) text += "\x1b[J";
  for (const auto& line : above) text += line + "\n";
  if (!block.empty()) {
    text += "\x1b[?7l";
    for (const auto& line : block) text += "\r" + line + "\x1b[K\n";
    text += "\x1b[?7h";
  }
  if (!cleared_first && block.size() < drawn) text += "\x1b[J";
  drawn = block.size();
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

FleetBoard::FleetBoard(std::FILE* out, Style style, Clock clock, Size size)
    : screen_(std::make_shared<Screen>(Screen{out, style, std::move(clock), std::move(size), {}, 0, {}})) {}

FleetBoard::~FleetBoard() { finish(); }

std::unique_ptr<TransferView> FleetBoard::row(const std::string& identifier, const std::string& short_identifier,
                                              const std::string& name) {
  return std::make_unique<Row>(screen_, screen_->style, identifier, short_identifier, name);
}

// A long line's continuations are indented a little, so that they read as
// such.
void FleetBoard::message(const char* text) { screen_->draw(screen_->message_lines(tools::printable(text), 2)); }

void FleetBoard::finish() { screen_->finish(); }

}  // namespace quillon::ota_tool
