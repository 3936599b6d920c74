#include "terminal_size.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace quillon::ota_tool {

TerminalSize terminal_size(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return {};
  return {size.ws_col, size.ws_row};
}

}  // namespace quillon::ota_tool
