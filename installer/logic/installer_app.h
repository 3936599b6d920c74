// Spoolrig's application object. All its work happens in startUp(): it runs
// Select OS, then Detail Setting, back and forth as the user asks, and then
// tells the caller not to go on, so the program ends without a message loop
// of its own. It keeps no settings and reads no command line.
#pragma once

namespace spoolrig {

class SystemLayer;
class WindowLayer;

class InstallerApp {
 public:
  // Both layers must outlive the object.
  InstallerApp(WindowLayer& ui, SystemLayer& system) : ui_(ui), system_(system) {}

  // Runs the dialog sequence on the user-interface thread. Every pass gets
  // fresh dialog objects, so Back and Next again show the defaults and a
  // fresh classification. Returns false in every case.
  bool startUp();

 private:
  WindowLayer& ui_;
  SystemLayer& system_;
};

}  // namespace spoolrig
