#include "terminal_text.h"

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

std::string fit_columns(std::string_view text, std::size_t columns) {
  std::string fitted;
  std::size_t used = 0;
  for (std::size_t at = 0; at < text.size() && used < columns; ++used) fitted += next_char(text, at);
  fitted.append(columns - used, ' ');
  return fitted;
}

}  // namespace quillon::tools
