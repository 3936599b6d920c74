// The Detail Setting dialog (template IDD_DETAIL_SETTING): the user picks
// the model, the default-printer flag, the port and, for a COM port, the
// line settings. OK runs the installation procedure of the detected Windows
// family and ends the dialog with idOk; Back ends it with idCancel; Cancel,
// Esc, the close box and Enter end it with idOk without installing. Its
// window menu carries the About entry.
//
// A fresh object is made for every pass through the dialog sequence, so
// every showing starts from the defaults that onInitDialog sets.
#pragma once

#include "layer/window_layer.h"
#include "logic/install_settings.h"

namespace spoolrig {

class SystemLayer;

class DetailSettingDialog final : public DialogHandler {
 public:
  // Loads the application icon through `ui`. Both layers must outlive the
  // dialog.
  DetailSettingDialog(WindowLayer& ui, SystemLayer& system);

  bool onInitDialog(DialogWindow& window) override;
  void onCommand(DialogWindow& window, int id, int code) override;
  bool onSysCommand(DialogWindow& window, unsigned command) override;
  bool onPaint(DialogWindow& window) override;
  IconHandle onQueryDragIcon(DialogWindow& window) override;

  // Where the icon of a minimised window goes: centred in the client area,
  // (client - icon + 1) / 2 on each axis, truncated toward zero.
  static int centredIconOffset(int clientExtent, int iconExtent);

 private:
  void showSelectedModel(DialogWindow& window);
  void enableSerialLists(DialogWindow& window, bool enabled);
  InstallSettings gatherSettings(DialogWindow& window);
  void install(DialogWindow& window);

  WindowLayer& ui_;
  SystemLayer& system_;
  IconHandle icon_;
  ControlHandle modelList_;
  ControlHandle portList_;
  ControlHandle baudList_;
  ControlHandle byteSizeList_;
  ControlHandle stopBitsList_;
  ControlHandle parityList_;
  ControlHandle flowList_;
};

}  // namespace spoolrig
