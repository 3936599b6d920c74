// Runs the version classification or one installation procedure against the
// real system services (under Wine in the tests) and prints what it did, so
// that a test harness can compare it with what the system then holds.
//
//   spoolrig_procedure_probe detect
//   spoolrig_procedure_probe nt|9x [model=N] [default=0|1] [port=N] [baud=N]
//                                   [bytesize=N] [stopbits=N] [parity=N] [flow=N]
//
// Message boxes are printed instead of shown, as one line
// "MessageBoxA <text as hex bytes> <type in hex>", so no display is needed;
// each AddPrinterA prints "AddPrinterA <name> -> added|refused".

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logic/install_procedures.h"
#include "logic/os_kind.h"
#include "win32/win32_system_layer.h"

namespace {

class PrintingSystemLayer final : public spoolrig::Win32SystemLayer {
 public:
  // Whether the spooler took the printer tells a harness which outcome to
  // check for: a refused printer keeps its earlier settings.
  spoolrig::PrinterHandle AddPrinterA(const char* server, std::uint32_t level,
                                      const spoolrig::PrinterInfo2& info) override {
    const spoolrig::PrinterHandle printer = Win32SystemLayer::AddPrinterA(server, level, info);
    std::printf("AddPrinterA %s -> %s\n", info.pPrinterName,
                printer == spoolrig::PrinterHandle::None ? "refused" : "added");
    return printer;
  }

  int MessageBoxA(const char* text, std::uint32_t type) override {
    std::printf("MessageBoxA ");
    for (const char* p = text; *p != '\0'; ++p) {
      std::printf("%02x", static_cast<unsigned char>(*p));
    }
    std::printf(" 0x%x\n", static_cast<unsigned>(type));
    std::fflush(stdout);
    return spoolrig::win::kIdOk;
  }
};

bool parseSetting(const char* argument, spoolrig::InstallSettings& s) {
  const char* equals = std::strchr(argument, '=');
  if (equals == nullptr) return false;
  const std::string name(argument, equals);
  const int value = std::atoi(equals + 1);
  if (name == "model") s.modelIndex = value;
  else if (name == "default") s.setDefault = value != 0;
  else if (name == "port") s.portIndex = value;
  else if (name == "baud") s.baudIndex = value;
  else if (name == "bytesize") s.byteSizeIndex = value;
  else if (name == "stopbits") s.stopBitsIndex = value;
  else if (name == "parity") s.parityIndex = value;
  else if (name == "flow") s.flowIndex = value;
  else return false;
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: spoolrig_procedure_probe detect\n"
               "       spoolrig_procedure_probe nt|9x [model=N] [default=0|1] [port=N] "
               "[baud=N] [bytesize=N] [stopbits=N] [parity=N] [flow=N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  PrintingSystemLayer system;
  const std::string command = argv[1];
  if (command == "detect") {
    spoolrig::detectOsKind(system);
    std::printf("OsKind %d\n", static_cast<int>(spoolrig::g_osKind));
    return 0;
  }
  if (command != "nt" && command != "9x") return usage();
  // Dialog defaults: 19200 baud, 8 data bits, 1 stop bit, no parity, hardware.
  spoolrig::InstallSettings settings;
  settings.baudIndex = 5;
  settings.byteSizeIndex = 3;
  settings.parityIndex = 2;
  settings.flowIndex = 2;
  for (int i = 2; i < argc; ++i) {
    if (!parseSetting(argv[i], settings)) return usage();
  }
  if (command == "nt") {
    spoolrig::InstallNtFamily(system, settings);
  } else {
    spoolrig::InstallWin9xFamily(system, settings);
  }
  std::printf("done\n");
  return 0;
}
