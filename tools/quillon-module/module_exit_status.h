// quillon-module's exit statuses, as its --help lists them: scripts and the
// tests tell the outcomes apart by these numbers.
#pragma once

namespace quillon::module_tool {

inline constexpr int kExitSuccess = 0;           // --once: the module answered END with success; else stopped
inline constexpr int kExitFailure = 1;           // the bus failed while serving
inline constexpr int kExitUsage = 2;
inline constexpr int kExitTransferFailed = 3;    // --once: the module's verdict on the transfer was a failure
inline constexpr int kExitNoBluez = 4;           // no system bus, or org.bluez is not on it
inline constexpr int kExitNoAdapter = 5;         // the adapter does not exist or cannot serve GATT / advertise
inline constexpr int kExitRefused = 6;           // BlueZ refused the application or the advertisement
inline constexpr int kExitNotSaved = 7;          // --save-received: the file could not be written
// --once stopped by a signal before the transfer ended: 128 + the signal's
// number, as a shell reports a program the signal ended.
inline constexpr int kExitInterrupted = 130;
inline constexpr int kExitTerminated = 143;

}  // namespace quillon::module_tool
