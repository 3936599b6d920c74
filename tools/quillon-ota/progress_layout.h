// Progress rows laid out to fit a terminal's width: the fleet board's rows
// (a module's short identifier, its name, its transfer) and the single
// transfer's bar. Every row of one layout has its fields in the same
// columns; where the width is short, the fields least needed go first (the
// sizes, then the name, then the speed), then the bar shrinks, so that the
// percentage and the ETA are never cut. Pure functions, tested without a
// terminal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "progress_format.h"

namespace quillon::ota_tool {

// A terminal's size in character cells; 0 where it is not known (not a
// terminal): no limit then.
struct TerminalSize {
  std::size_t columns = 0;
  std::size_t rows = 0;
};

// The columns a line redrawn in place may take: all but the last, since a
// line that fills it leaves the cursor waiting to wrap, where terminals
// differ on what an erase or the next character does (0: no limit).
std::size_t line_columns(const TerminalSize& terminal);

struct ProgressRow {
  // Shown first, always ("" for none).
  std::string key;
  // Shown after the key while there is room ("" for none).
  std::string name;
  ProgressSample sample;
};

// One line per row, each at most `columns` characters wide (0: no limit),
// the bar at most `max_bar_cells` cells.
std::vector<std::string> lay_out_progress_rows(const std::vector<ProgressRow>& rows, std::size_t columns,
                                               int max_bar_cells);

}  // namespace quillon::ota_tool
