// The About box (template IDD_ABOUTBOX): the program's icon, name and
// version, and an OK button. It holds no data; Enter, Esc, the OK button
// and the close box end it, and whoever runs it ignores its end code.
#pragma once

#include "layer/window_layer.h"

namespace spoolrig {

class AboutDialog final : public DialogHandler {
 public:
  bool onInitDialog(DialogWindow& window) override;
  void onCommand(DialogWindow& window, int id, int code) override;
};

}  // namespace spoolrig
