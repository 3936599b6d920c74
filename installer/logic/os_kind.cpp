#include "logic/os_kind.h"

#include "layer/system_layer.h"

namespace spoolrig {

namespace {

// Windows 95, 98 and Me report platform 1; only these three pairs are known.
bool classifyWin9x(std::uint32_t major, std::uint32_t minor, OsKind* kind) {
  if (major != 4) return false;
  switch (minor) {
    case 0: *kind = OsKind::OsWin95; return true;
    case 10:
    case 90: *kind = OsKind::OsWin98Me; return true;
    default: return false;
  }
}

// NT 4.0 and everything older is one kind; versions after 6.1 are unknown
// and keep the previous classification.
bool classifyNt(std::uint32_t major, std::uint32_t minor, OsKind* kind) {
  if (major <= 4) { *kind = OsKind::OsWinNT4; return true; }
  if (major == 5 && minor == 0) { *kind = OsKind::OsWin2000; return true; }
  if (major == 5 && minor == 1) { *kind = OsKind::OsWinXP; return true; }
  if (major == 5 && minor == 2) { *kind = OsKind::OsWin2003; return true; }
  if (major == 6 && minor == 0) { *kind = OsKind::OsWinVista; return true; }
  if (major == 6 && minor == 1) { *kind = OsKind::OsWin7; return true; }
  return false;
}

}  // namespace

void detectOsKind(SystemLayer& system) {
  OsVersionInfoExA info{};
  info.dwOSVersionInfoSize = kOsVersionInfoExSize;
  if (!system.GetVersionExA(&info)) {
    // Systems before NT 4 SP6 know only the shorter OSVERSIONINFOA.
    info.dwOSVersionInfoSize = kOsVersionInfoSize;
    if (!system.GetVersionExA(&info)) return;
  }
  OsKind kind = g_osKind;
  switch (info.dwPlatformId) {
    case win::kPlatformWin32Windows:
      classifyWin9x(info.dwMajorVersion, info.dwMinorVersion, &kind);
      break;
    case win::kPlatformWin32Nt:
      classifyNt(info.dwMajorVersion, info.dwMinorVersion, &kind);
      break;
    default:
      kind = OsKind::OsWin2000;
      break;
  }
  g_osKind = kind;
}

}  // namespace spoolrig
