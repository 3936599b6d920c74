// Text from outside (a module's name, a message that quotes it) made safe
// to print on a terminal: module names come from the modules themselves, and
// an escape sequence or line break in one must not move the cursor, retitle
// the terminal or tear a progress bar.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::tools {

// `text` as printed: tabs and line breaks kept, other control characters
// and bytes that are not UTF-8 shown as "?".
std::string printable(std::string_view text);

// `text` cut or padded with spaces to exactly `columns` characters, every
// control character shown as "?", never cutting a character in two.
std::string fit_columns(std::string_view text, std::size_t columns);

}  // namespace quillon::tools
