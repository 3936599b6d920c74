// The size of the terminal a stream writes to, read anew each time it is
// asked, so that a window resized during a run is drawn for at its next
// redraw.
#pragma once

#include <cstdio>

#include "progress_layout.h"

namespace quillon::ota_tool {

// The size of the terminal behind `stream`; zeros when it is not a
// terminal or does not say.
TerminalSize terminal_size(std::FILE* stream);

}  // namespace quillon::ota_tool
