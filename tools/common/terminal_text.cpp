#include "terminal_text.h"

#include <algorithm>

namespace quillon::tools {
namespace {

// The next character of UTF-8 text from `at`, which it moves past; "?" for a
// control character or a byte that starts no valid sequence.
std::string_view next_char(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const auto lead = byte(at);
  const std::size_t length = lead < 0x80                  ? 1
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  bool valid = length > 0 && at + length <= text.size();
  for (std::size_t i = 1; valid && i < length; ++i) valid = (byte(at + i) & 0xC0) == 0x80;
  if (!valid) {
    ++at;
    return "?";
  }
  const bool control = lead < 0x20 || lead == 0x7F || (lead == 0xC2 && byte(at + 1) < 0xA0);
  const auto character = text.substr(at, length);
  at += length;
  return control ? "?" : character;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string shown;
  for (std::size_t at = 0; at < text.size();) {
    if (text[at] == '\n' || text[at] == '\t') {
      shown += text[at++];
    } else {
      shown += next_char(text, at);
    }
  }
  return shown;
}

std::size_t text_columns(std::string_view text) {
  // Every byte but UTF-8's continuation bytes starts a character.
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

std::string right_aligned(std::string_view text, std::size_t columns) {
  const auto used = text_columns(text);
  return (used < columns ? std::string(columns - used, ' ') : std::string()) + std::string(text);
}

std::string left_aligned(std::string_view text, std::size_t columns) {
  const auto used = text_columns(text);
  return std::string(text) + (used < columns ? std::string(columns - used, ' ') : std::string());
}

std::vector<std::string> wrap_words(std::string_view text, std::size_t columns, std::size_t indent) {
  if (columns == 0 || text_columns(text) <= columns) return {std::string(text)};
  // Continuation lines keep at least a few columns for text.
  indent = std::min(indent, columns / 2);
  // Where each character starts, so that no break cuts one in two.
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) starts.push_back(at);
  }
  starts.push_back(text.size());
  std::vector<std::string> lines;
  std::size_t first = 0;  // index into starts
  while (first + 1 < starts.size()) {
    std::size_t margin = lines.empty() ? 0 : indent;
    const std::size_t chars = starts.size() - 1 - first;
    std::size_t take = std::min(chars, columns - margin);
    std::size_t next = first + take;
    if (take < chars) {
      // Break at the last space that fits.
      bool broken = false;
      for (std::size_t i = first + take; i > first && !broken; --i) {
        if (text[starts[i]] == ' ') {
          take = i - first;
          next = i + 1;
          broken = true;
        }
      }
      // One word too long for an indented line (a digest) goes whole on a
      // line of its own where it fits, rather than cut in two.
      std::size_t word = 0;
      while (first + word < starts.size() - 1 && text[starts[first + word]] != ' ') ++word;
      if (!broken && margin > 0 && word <= columns) {
        margin = 0;
        take = word;
        next = first + word + (first + word < starts.size() - 1 ? 1 : 0);
      }
    }
    const std::string piece(text.substr(starts[first], starts[first + take] - starts[first]));
    lines.push_back(std::string(margin, ' ') + piece);
    first = next;
  }
  return lines;
}

std::string fit_columns(std::string_view text, std::size_t columns) {
  std::string fitted;
  std::size_t used = 0;
  for (std::size_t at = 0; at < text.size() && used < columns; ++used) fitted += next_char(text, at);
  fitted.append(columns - used, ' ');
  return fitted;
}

}  // namespace quillon::tools
