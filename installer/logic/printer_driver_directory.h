// The spooler's printer-driver directory, where both procedures put the
// driver files. Without it every destination path would begin with a bare
// backslash and name the root of the current drive, where the procedures
// would copy and delete files that are not theirs: so they end instead.
#pragma once

#include <optional>
#include <string>

namespace spoolrig {

class SystemLayer;

// Asks for the directory of `environment` (null: the running system's own)
// into a zero-filled 255-byte buffer, so the text holds at most 254
// characters. Nothing when the call fails or gives an empty text.
std::optional<std::string> printerDriverDirectory(SystemLayer& system, const char* environment);

}  // namespace spoolrig
