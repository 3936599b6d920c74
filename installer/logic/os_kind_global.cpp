#include "logic/os_kind.h"

namespace spoolrig {

OsKind g_osKind = OsKind::OsUnclassified;

}  // namespace spoolrig
