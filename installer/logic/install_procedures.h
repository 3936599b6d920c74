// The two installation procedures. Each runs every step to its end, reports
// nothing to its caller and shows a message only when a registry value
// cannot be set or when no printer of the model's name exists after the
// printer step. Both run synchronously on the user-interface thread.
#pragma once

#include "install_settings.h"

namespace spoolrig {

class SystemLayer;

// Windows NT 4, 2000, XP, Server 2003, Vista and 7.
void InstallNtFamily(SystemLayer& system, InstallSettings settings);

// Windows 95, 98 and Me.
void InstallWin9xFamily(SystemLayer& system, InstallSettings settings);

}  // namespace spoolrig
