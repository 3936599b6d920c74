// The level-2 record with which both procedures add the new local printer:
// named after the model, on the chosen port, using the model's driver, the
// "WinPrint" processor and RAW data; every other field zero or null. The
// texts point into the catalogue, so the record stays valid for good.
#pragma once

#include "layer/system_layer.h"
#include "logic/catalogue.h"

namespace spoolrig {

inline PrinterInfo2 localPrinterRecord(const ModelEntry& model, const PortEntry& port) {
  PrinterInfo2 printer{};
  printer.pPrinterName = model.modelName;
  printer.pPortName = port.portName;
  printer.pDriverName = model.modelName;
  printer.pPrintProcessor = "WinPrint";
  printer.pDatatype = "RAW";
  return printer;
}

}  // namespace spoolrig
