// The window layer on real Windows (and Wine): modal dialogs from the
// program's own templates through the Win32 dialog manager. The dialog
// procedure only unpacks messages and hands each to the dialog's handler,
// which it finds through DWLP_USER. This header stays free of <windows.h>.
#pragma once

#include <string>
#include <vector>

#include "layer/window_layer.h"

namespace spoolrig {

class Win32WindowLayer final : public WindowLayer {
 public:
  // Takes its resources from the running program's own module.
  Win32WindowLayer();

  // Spoolrig's dialogs hold no embedded controls and the system draws its
  // controls in 3D by itself, so both switches are kept for the start-up
  // sequence's sake only.
  void enableControlContainer() override {}
  void enable3dControls() override {}

  // DialogBoxParamA, owned by the innermost dialog that is open (none for
  // the first). On the user-interface thread only.
  int runModal(int templateId, DialogHandler& handler) override;
  std::string loadString(int id) override;
  IconHandle loadIcon(int id) override;

  // Used by the dialog procedure: the window that a modal run just created.
  void dialogCreated(void* window) { openDialogs_.push_back(window); }
  // The HWND of the innermost dialog that is open, or null.
  void* innermostDialog() const { return openDialogs_.empty() ? nullptr : openDialogs_.back(); }

 private:
  void* instance_;                  // HINSTANCE of the program
  std::vector<void*> openDialogs_;  // HWNDs, innermost last
};

}  // namespace spoolrig
