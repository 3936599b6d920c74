// Text from outside (a module's name, a message that quotes it) made safe
// to print on a terminal: module names come from the modules themselves, and
// an escape sequence or line break in one must not move the cursor, retitle
// the terminal or tear a progress bar.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::tools {

// `text` as printed: tabs and line breaks kept, other control characters
// and bytes that are not UTF-8 shown as "?".
std::string printable(std::string_view text);

// How many columns `text` (UTF-8) takes on a terminal: two for each East
// Asian wide character, none for a combining mark, one for anything else.
std::size_t text_columns(std::string_view text);

// `text` with spaces before (right_aligned) or after it (left_aligned) to
// take `columns` columns; longer text is left whole.
std::string right_aligned(std::string_view text, std::size_t columns);
std::string left_aligned(std::string_view text, std::size_t columns);

// `text` as lines of at most `columns` columns (0: one line), broken at
// spaces where it has them, each line after the first indented by `indent`
// spaces: a long message stays readable on a narrow terminal instead of
// being wrapped by it mid-word. `text` is one line, already printable.
std::vector<std::string> wrap_words(std::string_view text, std::size_t columns, std::size_t indent = 0);

// `text` cut or padded with spaces to exactly `columns` columns, every
// control character shown as "?", never cutting a character in two.
std::string fit_columns(std::string_view text, std::size_t columns);

}  // namespace quillon::tools
