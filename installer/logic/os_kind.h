// Classification of the running Windows version. The Select OS dialog shows
// it; the Detail Setting dialog's OK picks the installation procedure by it.
#pragma once

#include <cstdint>

namespace spoolrig {

class SystemLayer;

enum class OsKind : std::int32_t {
  OsUnclassified = 0,  // at start, and whenever no rule applies
  OsWin95 = 1,
  OsWin98Me = 2,
  OsWinNT4 = 3,        // NT 4.0 and older NT
  OsWin2000 = 4,       // also every platform id other than 9x and NT
  OsWinXP = 5,
  OsWin2003 = 6,
  OsWinVista = 7,
  OsWin7 = 8,
};

// The process-wide classification. Only detectOsKind writes it.
extern OsKind g_osKind;

// Queries the version through the layer and sets g_osKind. When the query
// fails with both record sizes, or no rule matches, g_osKind keeps its value.
void detectOsKind(SystemLayer& system);

inline bool isWin9xFamily(OsKind kind) {
  return kind == OsKind::OsWin95 || kind == OsKind::OsWin98Me;
}
inline bool isNtFamily(OsKind kind) {
  return kind >= OsKind::OsWinNT4 && kind <= OsKind::OsWin7;
}

}  // namespace spoolrig
