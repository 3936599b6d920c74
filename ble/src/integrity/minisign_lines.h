// The lines of a minisign key or signature file: split at "\n", a "\r"
// before it dropped (files edited on Windows), blank lines at the end
// dropped.
#pragma once

#include <string_view>
#include <vector>

namespace quillon {

inline std::vector<std::string_view> minisign_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  while (!lines.empty() && lines.back().find_first_not_of(" \t") == std::string_view::npos) lines.pop_back();
  return lines;
}

}  // namespace quillon
