#include "logic/select_os_dialog.h"

#include "resources/resource.h"

namespace spoolrig {

int SelectOsDialog::radioFor(OsKind kind) {
  switch (kind) {
    case OsKind::OsWin2000: return IDC_RADIO_WIN2000;
    case OsKind::OsWinXP: return IDC_RADIO_WINXP;
    case OsKind::OsWin2003: return IDC_RADIO_WIN2003;
    case OsKind::OsWinVista: return IDC_RADIO_VISTA;
    case OsKind::OsWin7: return IDC_RADIO_WIN7;
    default: return 0;
  }
}

bool SelectOsDialog::onInitDialog(DialogWindow& window) {
  detectOsKind(system_);
  if (const int radio = radioFor(g_osKind)) window.setCheck(window.control(radio), 1);
  return true;
}

void SelectOsDialog::onCommand(DialogWindow& window, int id, int code) {
  if (code != buttonClicked) return;
  // Enter and Esc arrive as the window system's IDOK and IDCANCEL commands,
  // since neither push button carries those ids.
  if (id == IDC_SELECT_NEXT || id == idOk) {
    window.endDialog(idOk);
  } else if (id == IDC_SELECT_CANCEL || id == idCancel) {
    window.endDialog(idCancel);
  }
}

}  // namespace spoolrig
