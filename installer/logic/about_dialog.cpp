#include "logic/about_dialog.h"

namespace spoolrig {

bool AboutDialog::onInitDialog(DialogWindow&) { return true; }

void AboutDialog::onCommand(DialogWindow& window, int id, int code) {
  // The template's OK button has the id IDOK, so the button, Enter, Esc and
  // the close box all arrive here as IDOK or IDCANCEL.
  if (code == buttonClicked && (id == idOk || id == idCancel)) window.endDialog(id);
}

}  // namespace spoolrig
