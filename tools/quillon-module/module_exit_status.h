// quillon-module's exit statuses, as its --help lists them: scripts and the
// tests tell the outcomes apart by these numbers. Success, usage errors and
// stop signals mean what they mean for every tool (exit_codes.h).
#pragma once

#include "exit_codes.h"

namespace quillon::module_tool {

using tools::kExitSuccess;                       // --once: the module answered END with success; else stopped
inline constexpr int kExitFailure = 1;           // the bus failed while serving
using tools::kExitUsage;
inline constexpr int kExitTransferFailed = 3;    // --once: the module's verdict on the transfer was a failure
inline constexpr int kExitNoBluez = 4;           // no system bus, or org.bluez is not on it
inline constexpr int kExitNoAdapter = 5;         // the adapter does not exist or cannot serve GATT / advertise
inline constexpr int kExitRefused = 6;           // BlueZ refused the application or the advertisement
inline constexpr int kExitNotSaved = 7;          // --save-received: the file could not be written
// --once stopped by a signal before the transfer ended.
using tools::kExitInterrupted;
using tools::kExitTerminated;

}  // namespace quillon::module_tool
