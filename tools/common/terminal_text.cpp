#include "terminal_text.h"

#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <cwchar>

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

// The columns a printable character takes on a terminal, as the C library's
// UTF-8 locale tells them: 2 for an East Asian wide one, 0 for a combining
// mark, else 1. The locale is switched for this thread only, for the call.
std::size_t char_columns(std::string_view character) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  if (character.size() == 1 || utf8 == locale_t{}) return 1;
  const locale_t previous = uselocale(utf8);
  wchar_t wide = 0;
  std::mbstate_t state{};
  int width = 1;
  if (std::mbrtowc(&wide, character.data(), character.size(), &state) == character.size()) width = wcwidth(wide);
  uselocale(previous);
  return width < 0 ? 1 : static_cast<std::size_t>(width);
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
  std::size_t columns = 0;
  for (std::size_t at = 0; at < text.size();) columns += char_columns(next_char(text, at));
  return columns;
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
  // Where each character starts and how wide it is, so that no break cuts
  // one in two.
  struct Char {
    std::size_t at;
    std::size_t width;
  };
  std::vector<Char> chars;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    chars.push_back({start, char_columns(next_char(text, at))});
  }
  const auto offset = [&](std::size_t i) { return i < chars.size() ? chars[i].at : text.size(); };
  const auto is_space = [&](std::size_t i) { return text[chars[i].at] == ' '; };
  std::vector<std::string> lines;
  std::size_t first = 0;
  while (first < chars.size()) {
    std::size_t margin = lines.empty() ? 0 : indent;
    // The characters from `first` that fit in `room` columns.
    const auto fitting = [&](std::size_t room) {
      std::size_t used = 0;
      std::size_t n = 0;
      while (first + n < chars.size() && used + chars[first + n].width <= room) used += chars[first + n++].width;
      return n;
    };
    std::size_t take = fitting(columns - margin);
    std::size_t next = first + take;
    if (first + take < chars.size()) {
      // Break at the last space that fits.
      bool broken = false;
      for (std::size_t i = first + take; i > first && !broken; --i) {
        if (is_space(i)) {
          take = i - first;
          next = i + 1;
          broken = true;
        }
      }
      // One word too long for an indented line (a digest) goes whole on a
      // line of its own where it fits, rather than cut in two.
      std::size_t word = 0;
      std::size_t word_columns = 0;
      for (; first + word < chars.size() && !is_space(first + word); ++word) word_columns += chars[first + word].width;
      if (!broken && margin > 0 && word_columns <= columns) {
        margin = 0;
        take = word;
        next = first + word + (first + word < chars.size() ? 1 : 0);
      }
    }
    // A character wider than the whole line still moves on.
    if (take == 0 && next <= first) take = 1, next = first + 1;
    lines.push_back(std::string(margin, ' ') + std::string(text.substr(offset(first), offset(first + take) - offset(first))));
    first = next;
  }
  return lines;
}

std::string fit_columns(std::string_view text, std::size_t columns) {
  std::string fitted;
  std::size_t used = 0;
  for (std::size_t at = 0; at < text.size();) {
    const auto character = next_char(text, at);
    const auto width = char_columns(character);
    if (used + width > columns) break;
    fitted += character;
    used += width;
  }
  fitted.append(columns - used, ' ');
  return fitted;
}

}  // namespace quillon::tools
