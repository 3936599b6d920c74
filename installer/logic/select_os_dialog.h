// The Select OS dialog (template IDD_SELECT_OS): classifies the running
// Windows version each time it opens and ticks the matching radio button.
// Next ends it with idOk, Cancel with idCancel. It holds no data: the radio
// buttons are never read, so the user's tick changes nothing.
#pragma once

#include "layer/window_layer.h"
#include "logic/os_kind.h"

namespace spoolrig {

class SystemLayer;

class SelectOsDialog final : public DialogHandler {
 public:
  // `system` answers the version query; it must outlive the dialog.
  explicit SelectOsDialog(SystemLayer& system) : system_(system) {}

  // Runs detectOsKind (writing g_osKind) and ticks the radio of the new
  // kind, if it has one.
  bool onInitDialog(DialogWindow& window) override;
  void onCommand(DialogWindow& window, int id, int code) override;

  // The radio button shown for `kind`, or 0 for a kind without one
  // (unclassified, the 9x family and NT 4).
  static int radioFor(OsKind kind);

 private:
  SystemLayer& system_;
};

}  // namespace spoolrig
