#include "progress_layout.h"

#include <algorithm>

#include "terminal_text.h"

namespace quillon::ota_tool {
namespace {

using tools::text_columns;

constexpr std::size_t kNameColumns = 14;
// The widest that the sent bytes ("1023.9 KiB"), the speed ("1023.9
// KiB/s") and the ETA under an hour ("ETA 59:59", "ETA --:--") are, which
// a board's columns keep room for.
constexpr std::size_t kSentColumns = 10;
constexpr std::size_t kRateColumns = 12;
constexpr std::size_t kEtaColumns = 9;
// Narrower than this, a bar tells nothing the percentage does not.
constexpr int kMinBarCells = 10;

// One row's words; `known` when its size is (only then has it a bar).
struct RowWords {
  bool known;
  std::string name;
  std::string percent;
  std::string sizes;
  std::string rate;
  std::string eta;
};

// Which fields a layout shows; tried in the order of kLayouts until one fits.
struct Fields {
  bool name;
  bool sizes;
  bool rate;
  bool bar;
};
constexpr Fields kLayouts[] = {
    {true, true, true, true},
    {true, false, true, true},
    {false, false, true, true},
    {false, false, false, true},
    {false, false, false, false},
};

// The widths of the columns, the widest of every row's.
struct Widths {
  std::size_t key = 0;
  std::size_t name = 0;
  std::size_t sizes = 0;
  std::size_t rate = 0;
  std::size_t eta = 0;
};

// The columns of a line with `fields` but no bar cells.
std::size_t fixed_columns(const Widths& widths, const Fields& fields) {
  std::size_t used = widths.key;
  const auto add = [&](std::size_t width) { used += (used > 0 ? 2 : 0) + width; };
  if (fields.name && widths.name > 0) add(widths.name);
  if (fields.bar) add(2);  // the brackets; the cells come on top
  used += fields.bar ? 1 + 4 : (used > 0 ? 2 : 0) + 4;
  if (fields.sizes) add(widths.sizes);
  if (fields.rate) add(widths.rate);
  add(widths.eta);
  return used;
}

}  // namespace

std::size_t line_columns(const TerminalSize& terminal) {
  return terminal.columns > 1 ? terminal.columns - 1 : terminal.columns;
}

std::vector<std::string> lay_out_progress_rows(const std::vector<ProgressRow>& rows, std::size_t columns,
                                               int max_bar_cells) {
  // Rows with keys are a board's: its columns keep room for the widest
  // words, and its name column stays where a row has no name, so that
  // nothing moves as rows come and go. A single bar is as long as its words.
  const bool board = std::any_of(rows.begin(), rows.end(), [](const auto& row) { return !row.key.empty(); });
  const bool any_name =
      board || std::any_of(rows.begin(), rows.end(), [](const auto& row) { return !row.name.empty(); });
  std::vector<RowWords> words;
  Widths widths;
  if (board) widths = {0, 0, 0, kRateColumns, kEtaColumns};
  for (const auto& row : rows) {
    const auto& s = row.sample;
    RowWords w{percent_sent(s).has_value(), "", "", "", rate_text(s), ""};
    if (any_name) w.name = tools::fit_columns(row.name, kNameColumns);
    if (w.known) {
      w.percent = percent_text(s);
      w.sizes = sizes_text(s);
      w.eta = eta_text(s);
      if (board) widths.sizes = std::max(widths.sizes, kSentColumns + 3 + text_columns(format_bytes(s.total)));
    } else {
      w.sizes = format_bytes(s.sent) + " sent";
    }
    widths.key = std::max(widths.key, text_columns(row.key));
    widths.name = std::max(widths.name, text_columns(w.name));
    widths.sizes = std::max(widths.sizes, text_columns(w.sizes));
    widths.rate = std::max(widths.rate, text_columns(w.rate));
    widths.eta = std::max(widths.eta, text_columns(w.eta));
    words.push_back(std::move(w));
  }

  // The first layout that leaves the bar its least cells; without a width,
  // the fullest one.
  Fields fields = kLayouts[0];
  int bar_cells = std::max(max_bar_cells, 1);
  for (const auto& layout : kLayouts) {
    fields = layout;
    if (columns == 0) break;
    const std::size_t fixed = fixed_columns(widths, layout);
    if (!layout.bar) {
      if (fixed <= columns) break;
      continue;
    }
    if (fixed + static_cast<std::size_t>(kMinBarCells) <= columns) {
      bar_cells = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(bar_cells), columns - fixed));
      break;
    }
  }

  std::vector<std::string> lines;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& w = words[i];
    std::string line = tools::left_aligned(rows[i].key, widths.key);
    const auto add = [&](const std::string& text) {
      if (!line.empty()) line += "  ";
      line += text;
    };
    if (fields.name && widths.name > 0) add(w.name);
    if (!w.known) {
      add(w.sizes + "  " + w.rate);
    } else {
      if (fields.bar) {
        add(progress_bar_cells(rows[i].sample, bar_cells));
        line += " " + w.percent;
      } else {
        add(w.percent);
      }
      if (fields.sizes) add(tools::right_aligned(w.sizes, widths.sizes));
      if (fields.rate) add(tools::right_aligned(w.rate, widths.rate));
      add(w.eta);
    }
    // Only a terminal too narrow for the least layout cuts a line.
    if (columns > 0 && text_columns(line) > columns) line = tools::fit_columns(line, columns);
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace quillon::ota_tool
