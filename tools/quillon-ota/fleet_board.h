// Shows a fleet run's progress on one stream: on a terminal, one bar per
// module being updated, redrawn in place as a block below the lines already
// printed; without a terminal, plain lines tagged with the module.
//
// Bar style keeps the cursor just below the live block. Every draw moves up
// over the block drawn last time, prints any permanent lines (messages,
// finished rows) in its place and draws the block again under them, so
// finished modules scroll up like a log and the block only ever holds the
// rows still in progress. The terminal's size is read at every draw: rows
// are laid out to fit its width (progress_layout.h), and a block that would
// be taller than the screen shows the rows that fit and "N more in flight",
// so that moving up over it never reaches past the screen's top (where the
// terminal would stop the cursor and the block would be drawn over itself,
// leaving copies in the scrollback). Auto-wrap stays off while the block is
// drawn, so that a character wider than the board reckons is cut at the
// edge rather than wrapped onto a line the next move up would not count.
// Main thread only.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "progress_layout.h"
#include "transfer_view.h"

namespace quillon::ota_tool {

class FleetBoard {
 public:
  using Style = ProgressStyle;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Size = std::function<TerminalSize()>;

  // `clock` gives rows their elapsed time and the board its redraw pace;
  // `size` the terminal's size at each draw (none: no limit). Tests pass
  // fake ones.
  FleetBoard(std::FILE* out, Style style, Clock clock = &std::chrono::steady_clock::now, Size size = {});
  // Leaves the screen clean (calls finish()).
  ~FleetBoard();
  FleetBoard(const FleetBoard&) = delete;
  FleetBoard& operator=(const FleetBoard&) = delete;

  // A row for the module `identifier` (a UUID text) named `name` ("" when it
  // has none). Bars and their messages show it as `short_identifier` (see
  // identifier_abbreviation.h), lines for logs in full. The row is not
  // drawn until begin() is called on it. The row
  // may outlive the board (it then shows nothing) or die before it (it then
  // leaves the block).
  std::unique_ptr<TransferView> row(const std::string& identifier, const std::string& short_identifier,
                                    const std::string& name);

  // An untagged line above the block, in every style.
  void message(const char* text);

  // Takes the live block off the screen; rows still in progress leave it
  // undrawn (rows already ended stay as printed lines). Idempotent; a row
  // that begins afterwards starts a new block.
  void finish();

 private:
  class Row;
  struct Screen;
  std::shared_ptr<Screen> screen_;
};

}  // namespace quillon::ota_tool
