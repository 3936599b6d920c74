#include "logic/printer_install_outcome.h"

namespace spoolrig {

bool printerExistsAfterAdding(SystemLayer& system, PrinterHandle added, const char* printerName) {
  if (added != PrinterHandle::None) return true;
  PrinterHandle existing = PrinterHandle::None;
  if (!system.OpenPrinterA(printerName, &existing, nullptr)) return false;
  system.ClosePrinter(existing);
  return true;
}

void reportPrinterNotInstalled(SystemLayer& system) {
  system.MessageBoxA(kPrinterInstallErrorMessage, win::kMbOk | win::kMbIconExclamation);
}

}  // namespace spoolrig
