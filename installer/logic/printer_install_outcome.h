// What both installation procedures do once the printer step is over: find
// out whether a printer of the model's name now exists, and tell the user
// when it does not. A refused AddPrinterA means either that the printer was
// there already, which is fine, or that it could not be installed (its
// driver was refused, or the medium's files are missing); only the spooler
// can tell the two apart.
#pragma once

#include "layer/system_layer.h"

namespace spoolrig {

// "错误：无法安装打印机" (Error: unable to install the printer) in code
// page 936.
inline constexpr char kPrinterInstallErrorMessage[] =
    "\xb4\xed\xce\xf3\xa3\xba\xce\xde\xb7\xa8\xb0\xb2\xd7\xb0\xb4\xf2\xd3\xa1\xbb\xfa";

// True when `added` is a handle that AddPrinterA returned, or when the
// spooler holds a printer named `printerName` (opened and closed again to
// find out).
bool printerExistsAfterAdding(SystemLayer& system, PrinterHandle added, const char* printerName);

// Shows kPrinterInstallErrorMessage (MB_OK | MB_ICONEXCLAMATION) and returns
// once the user dismissed it.
void reportPrinterNotInstalled(SystemLayer& system);

}  // namespace spoolrig
