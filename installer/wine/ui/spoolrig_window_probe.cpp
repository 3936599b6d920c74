// Runs Spoolrig's own Win32 window and system layers on Spoolrig's dialog
// templates with handlers of its own, for the Wine cases that the real
// program does not reach (a disabled radio button, a failing installation).
//
//   spoolrig_window_probe radio    in Select OS: ticks Windows 7, then, from
//                                  code, the disabled Windows 2000 and the
//                                  hidden Windows XP button; prints
//                                  "radio ID=CHECK ..." for the five radio
//                                  buttons after each of the last two ticks
//   spoolrig_window_probe message  in Detail Setting: OK shows the registry
//                                  error message through the system layer,
//                                  and the dialog ends once it is dismissed
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "layer/window_layer.h"
#include "logic/registry_value_write.h"
#include "resource.h"
#include "win32/win32_system_layer.h"
#include "win32/win32_window_layer.h"

namespace {

using spoolrig::DialogWindow;

void printRadios(DialogWindow& window) {
  std::printf("radio");
  for (int id : {IDC_RADIO_WIN2000, IDC_RADIO_WINXP, IDC_RADIO_WIN2003, IDC_RADIO_VISTA,
                 IDC_RADIO_WIN7}) {
    std::printf(" %d=%d", id, window.check(window.control(id)));
  }
  std::printf("\n");
  std::fflush(stdout);
}

class RadioHandler final : public spoolrig::DialogHandler {
 public:
  bool onInitDialog(DialogWindow& window) override {
    window.setCheck(window.control(IDC_RADIO_WIN7), 1);
    const spoolrig::ControlHandle disabled = window.control(IDC_RADIO_WIN2000);
    window.enable(disabled, false);
    window.setCheck(disabled, 1);
    printRadios(window);
    const spoolrig::ControlHandle hidden = window.control(IDC_RADIO_WINXP);
    ShowWindow(reinterpret_cast<HWND>(hidden.value), SW_HIDE);
    window.setCheck(hidden, 1);
    printRadios(window);
    window.endDialog(spoolrig::idOk);
    return true;
  }
  void onCommand(DialogWindow&, int, int) override {}
};

class MessageHandler final : public spoolrig::DialogHandler {
 public:
  explicit MessageHandler(spoolrig::SystemLayer& system) : system_(system) {}
  bool onInitDialog(DialogWindow&) override { return true; }
  void onCommand(DialogWindow& window, int id, int code) override {
    if (code != spoolrig::buttonClicked) return;
    if (id == IDC_DETAIL_OK) {
      system_.MessageBoxA(spoolrig::kRegistryErrorMessage,
                          spoolrig::win::kMbOk | spoolrig::win::kMbIconExclamation);
      window.endDialog(spoolrig::idOk);
    } else if (id == spoolrig::idCancel || id == IDC_DETAIL_CANCEL) {
      window.endDialog(spoolrig::idCancel);
    }
  }

 private:
  spoolrig::SystemLayer& system_;
};

}  // namespace

int main(int argc, char** argv) {
  spoolrig::Win32WindowLayer windows;
  spoolrig::Win32SystemLayer system(&windows);
  if (argc == 2 && std::strcmp(argv[1], "radio") == 0) {
    RadioHandler handler;
    return windows.runModal(IDD_SELECT_OS, handler) == spoolrig::idOk ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "message") == 0) {
    MessageHandler handler(system);
    return windows.runModal(IDD_DETAIL_SETTING, handler) == spoolrig::idOk ? 0 : 1;
  }
  std::fprintf(stderr, "usage: spoolrig_window_probe radio|message\n");
  return 2;
}
