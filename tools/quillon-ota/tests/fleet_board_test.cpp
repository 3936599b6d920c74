#include "fleet_board.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::ota_tool {
namespace {

using std::chrono::milliseconds;

constexpr const char* kId1 = "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001";
constexpr const char* kId2 = "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0002";
constexpr const char* kId3 = "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0003";
constexpr const char* kId4 = "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0004";
// As identifier_abbreviation.h shortens them.
constexpr const char* kShort1 = "6F1A3C52\u20260001";
constexpr const char* kShort2 = "6F1A3C52\u20260002";
constexpr const char* kShort3 = "6F1A3C52\u20260003";
constexpr const char* kShort4 = "6F1A3C52\u20260004";

// A clock that moves only when told to.
struct FakeClock {
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  FleetBoard::Clock function() {
    return [this] { return now; };
  }
};

// Everything written to a stream, as it stands at the last flush.
class CapturedStream {
 public:
  CapturedStream() : file_(open_memstream(&data_, &size_)) {}
  ~CapturedStream() {
    std::fclose(file_);
    std::free(data_);
  }
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;
  std::FILE* file() { return file_; }
  std::string text() const { return std::string(data_, size_); }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "the output ends mid-line";
  return lines;
}

// What a terminal `width` cells wide shows after the board's output: UTF-8
// characters, \r, \n (the tty turns it into \r\n), erase line (ESC[K), erase
// below (ESC[J), cursor up (ESC[nA), auto-wrap off and on (ESC[?7l, ESC[?7h),
// including xterm's deferred wrap at the last column. Anything else the board
// must not send, and moving above the first line means it miscounted.
class Terminal {
 public:
  explicit Terminal(std::size_t width) : width_(width) {}

  void feed(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      const auto byte = static_cast<unsigned char>(bytes[at]);
      if (byte == '\x1b') {
        at = escape(bytes, at);
      } else if (byte == '\r') {
        col_ = 0, pending_wrap_ = false, ++at;
      } else if (byte == '\n') {
        ++row_, col_ = 0, pending_wrap_ = false, ++at;
      } else if (byte < 0x20 || byte == 0x7F) {
        ADD_FAILURE() << "control byte " << int{byte} << " reached the terminal";
        ++at;
      } else {
        const std::size_t length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
        put(std::string(bytes.substr(at, length)));
        at += length;
      }
    }
  }

  // The lines on screen, without the empty ones below the last text.
  std::vector<std::string> screen() const {
    std::vector<std::string> shown;
    for (const auto& cells : lines_) {
      std::string line;
      for (const auto& cell : cells) line += cell;
      shown.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
    }
    while (!shown.empty() && shown.back().empty()) shown.pop_back();
    return shown;
  }
  // The cursor is at the start of the line below all the text.
  bool cursor_below_text() const { return col_ == 0 && !pending_wrap_ && row_ == screen().size(); }

 private:
  void put(std::string cell) {
    if (pending_wrap_) ++row_, col_ = 0, pending_wrap_ = false;
    auto& line = line_at(row_);
    if (line.size() <= col_) line.resize(col_ + 1, " ");
    line[col_] = std::move(cell);
    if (col_ + 1 < width_) {
      ++col_;
    } else {
      pending_wrap_ = wrap_;
    }
  }

  std::size_t escape(std::string_view bytes, std::size_t at) {
    std::size_t end = at + 1;
    if (end >= bytes.size() || bytes[end] != '[') {
      ADD_FAILURE() << "escape not followed by [";
      return end;
    }
    ++end;
    while (end < bytes.size() && (bytes[end] == '?' || (bytes[end] >= '0' && bytes[end] <= '9'))) ++end;
    const std::string params(bytes.substr(at + 2, end - at - 2));
    const char final = end < bytes.size() ? bytes[end] : '\0';
    pending_wrap_ = false;
    if (final == 'A') {
      const std::size_t up = params.empty() ? 1 : std::stoul(params);
      if (up > row_) ADD_FAILURE() << "cursor moved " << up << " lines up from line " << row_;
      row_ -= std::min(up, row_);
    } else if (final == 'K' && params.empty()) {
      auto& line = line_at(row_);
      line.resize(std::min(line.size(), col_));
    } else if (final == 'J' && params.empty()) {
      line_at(row_).resize(std::min(line_at(row_).size(), col_));
      lines_.resize(row_ + 1);
    } else if (params == "?7" && (final == 'l' || final == 'h')) {
      wrap_ = final == 'h';
    } else {
      ADD_FAILURE() << "unexpected escape sequence ESC[" << params << final;
    }
    return end + 1;
  }

  std::vector<std::string>& line_at(std::size_t row) {
    if (lines_.size() <= row) lines_.resize(row + 1);
    return lines_[row];
  }

  std::size_t width_;
  std::vector<std::vector<std::string>> lines_;
  std::size_t row_ = 0;
  std::size_t col_ = 0;
  bool wrap_ = true;
  bool pending_wrap_ = false;
};

// The screen a terminal `width` wide would show had `printed` been printed
// once each, then the `live` rows drawn once below them, with nothing moved.
std::vector<std::string> plain_screen(const std::vector<std::string>& printed, const std::vector<std::string>& live,
                                      std::size_t width) {
  Terminal terminal(width);
  for (const auto& line : printed) terminal.feed(line + "\n");
  terminal.feed("\x1b[?7l");
  for (const auto& line : live) terminal.feed("\r" + line + "\x1b[K\n");
  terminal.feed("\x1b[?7h");
  return terminal.screen();
}

TEST(FleetBoardTest, LinesAreTaggedWithTheirModuleAndThinnedToTenths) {
  CapturedStream out;
  FakeClock clock;
  FleetBoard board(out.file(), FleetBoard::Style::Lines, clock.function());
  const auto a = board.row(kId1, kShort1, "Quillon 01");
  const auto b = board.row(kId2, kShort2, "");
  const auto unknown_size = board.row(kId3, kShort3, "Quillon 03");
  const std::string tag_a = std::string("[") + kId1 + "] ";
  const std::string tag_b = std::string("[") + kId2 + "] ";
  const std::string tag_c = std::string("[") + kId3 + "] ";

  std::vector<std::string> expected = {"scanning for modules ...", tag_a + "connected to Quillon 01"};
  board.message("scanning for modules ...");
  a->message("connected to Quillon 01");
  a->begin(1000);
  b->begin(2000);
  // Interleaved updates at every 5%: one line per module at its first
  // update and at each tenth after it.
  for (int i = 1; i <= 20; ++i) {
    a->update(i * 50);
    b->update(i * 100);
    if (i == 1 || i % 2 == 0) {
      char line[128];
      std::snprintf(line, sizeof line, "progress: %3d%% (%d of 1000 bytes, -- B/s)", i * 5, i * 50);
      expected.push_back(tag_a + line);
      std::snprintf(line, sizeof line, "progress: %3d%% (%d of 2000 bytes, -- B/s)", i * 5, i * 100);
      expected.push_back(tag_b + line);
    }
  }
  a->end();
  b->message("rebooting");
  expected.push_back(tag_b + "rebooting");
  b->end();
  b->end();

  // Without a size, a line per 64 KiB.
  unknown_size->begin(0);
  for (int kib = 32; kib <= 224; kib += 32) unknown_size->update(kib * 1024);
  for (int kib : {32, 64, 128, 192}) {
    expected.push_back(tag_c + "progress: " + std::to_string(kib * 1024) + " bytes (-- B/s)");
  }
  unknown_size->end();
  board.finish();

  EXPECT_EQ(lines_of(out.text()), expected);
}

TEST(FleetBoardTest, NoneStyleShowsMessagesButNoProgress) {
  CapturedStream out;
  FakeClock clock;
  {
    FleetBoard board(out.file(), FleetBoard::Style::None, clock.function());
    const auto a = board.row(kId1, kShort1, "Quillon 01");
    a->begin(1000);
    a->update(500);
    a->message("verified");
    a->update(1000);
    a->end();
    board.message("1 of 1 modules updated");
  }
  EXPECT_EQ(out.text(), std::string("[") + kId1 + "] verified\n1 of 1 modules updated\n");
}

// Three modules in progress, one ending, one joining, one dropped, then the
// board finished, all through a terminal emulator: the screen must read as
// if every permanent line had been printed once in order, with one row per
// module still in progress below them, however the block was redrawn.
TEST(FleetBoardTest, BarsRedrawInPlaceBelowThePermanentLines) {
  CapturedStream out;
  FakeClock clock;
  auto board = std::make_unique<FleetBoard>(out.file(), FleetBoard::Style::Bar, clock.function());
  auto r1 = board->row(kId1, kShort1, "Quillon 01");
  auto r2 = board->row(kId2, kShort2, "");
  auto r3 = board->row(kId3, kShort3, "Quillon 03");
  // A name made to look like a terminal command, and longer than its column.
  auto r4 = board->row(kId4, kShort4, "\xc3\x9cn\xc3\xaf" "code\x1b[2Jmodule");

  board->message("scanning for modules ...");
  r1->message("connected to Quillon 01");
  r1->begin(10240);
  r2->begin(20480);
  r3->begin(4096);
  for (int step = 1; step <= 4; ++step) {
    clock.now += milliseconds(50);
    r1->update(step * 1024);
    r2->update(step * 1024);
    r3->update(step * 512);
  }
  r2->message("link quality low");
  clock.now += milliseconds(100);
  r1->update(10240);
  r1->end();
  r4->begin(1000);

  // Updates within 100 ms of the last draw write nothing; the next one redraws.
  const auto before = out.text().size();
  clock.now += milliseconds(99);
  r2->update(8192);
  EXPECT_EQ(out.text().size(), before);
  clock.now += milliseconds(1);
  r4->update(250);
  EXPECT_GT(out.text().size(), before);
  r3.reset();

  // Bars and their messages carry the short identifiers; the columns leave
  // room for the widest sizes and speeds, so that they stay put.
  std::vector<std::string> printed = {
      "scanning for modules ...",
      std::string("[") + kShort1 + "] connected to Quillon 01",
      std::string("[") + kShort2 + "] link quality low",
      std::string(kShort1) + "  Quillon 01      [####################] 100%    10.0 KiB / 10.0 KiB    33.3 KiB/s  ETA 0:00",
  };
  const std::vector<std::string> live = {
      std::string(kShort2) + "                  [########............]  40%     8.0 KiB / 20.0 KiB    20.0 KiB/s  ETA 0:01",
      std::string(kShort4) + "  \xc3\x9cn\xc3\xaf" "code?[2Jmod  [#####...............]  25%         250 B / 1000 B     2.4 KiB/s  ETA 0:00",
  };
  const auto so_far = out.text();
  for (std::size_t width : {200, 60}) {
    SCOPED_TRACE(width);
    Terminal terminal(width);
    terminal.feed(so_far);
    EXPECT_EQ(terminal.screen(), plain_screen(printed, live, width));
    EXPECT_TRUE(terminal.cursor_below_text());
  }

  // Finishing takes the block away; rows in progress then draw nothing.
  board->finish();
  board->finish();
  board->message("2 of 4 modules updated");
  printed.push_back("2 of 4 modules updated");
  r2->update(20480);
  r2->end();
  Terminal terminal(200);
  terminal.feed(out.text());
  EXPECT_EQ(terminal.screen(), printed);
  EXPECT_TRUE(terminal.cursor_below_text());

  // Rows outliving their board are silent.
  const auto finished = out.text();
  board.reset();
  r4->message("late");
  r4->update(1000);
  r4.reset();
  EXPECT_EQ(out.text(), finished);
}

}  // namespace
}  // namespace quillon::ota_tool
