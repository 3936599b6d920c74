// Spoolrig.exe: installs the receipt printer's driver from the current
// directory. The application object lives for the whole process, as do the
// two layers it runs on; its start-up operation does all the work, and the
// program then ends without a message loop of its own.
#include <windows.h>

#include "logic/installer_app.h"
#include "win32/win32_system_layer.h"
#include "win32/win32_window_layer.h"

namespace {

spoolrig::Win32WindowLayer windowLayer;
spoolrig::Win32SystemLayer systemLayer(&windowLayer);
spoolrig::InstallerApp theApp(windowLayer, systemLayer);

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The command line is not read, and the start-up operation's "go on" is
  // always false.
  theApp.startUp();
  return 0;
}
