#include "logic/installer_app.h"

#include "layer/window_layer.h"
#include "logic/detail_setting_dialog.h"
#include "logic/select_os_dialog.h"
#include "resources/resource.h"

namespace spoolrig {

bool InstallerApp::startUp() {
  ui_.enableControlContainer();
  ui_.enable3dControls();

  SelectOsDialog selectOs(system_);
  while (ui_.runModal(IDD_SELECT_OS, selectOs) == idOk) {
    DetailSettingDialog detail(ui_, system_);
    // idCancel is the Back signal; idOk (finished) and dialogNotCreated end.
    if (ui_.runModal(IDD_DETAIL_SETTING, detail) != idCancel) break;
  }
  return false;
}

}  // namespace spoolrig
