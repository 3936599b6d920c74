// The system layer on real Windows (and Wine): each operation calls the ANSI
// Win32 function of the same name. This header stays free of <windows.h> so
// that the program's entry point and test programs can hold one without
// pulling the platform's macros in.
#pragma once

#include <string>

#include "layer/system_layer.h"

namespace spoolrig {

class Win32WindowLayer;

class Win32SystemLayer : public SystemLayer {
 public:
  // Message boxes are captioned with the program's file name without its
  // extension, taken from the running module, and owned by the innermost
  // dialog that `dialogs` has open (none without a window layer).
  explicit Win32SystemLayer(const Win32WindowLayer* dialogs = nullptr);

  bool GetPrinterDriverDirectoryA(const char* server, const char* environment,
                                  std::uint32_t level, char* buffer, std::uint32_t bufferSize,
                                  std::uint32_t* needed) override;
  bool AddPrinterDriverA(const char* server, std::uint32_t level,
                         const DriverInfo3& info) override;
  PrinterHandle AddPrinterA(const char* server, std::uint32_t level,
                            const PrinterInfo2& info) override;
  bool OpenPrinterA(const char* printerName, PrinterHandle* printer,
                    const void* defaults) override;
  bool ClosePrinter(PrinterHandle printer) override;
  bool CopyFileA(const char* existingFile, const char* newFile, bool failIfExists) override;
  bool DeleteFileA(const char* file) override;
  FindHandle FindFirstFileA(const char* pattern) override;
  bool FindClose(FindHandle find) override;
  FileHandle CreateFileA(const char* fileName, std::uint32_t desiredAccess,
                         std::uint32_t shareMode, const void* securityAttributes,
                         std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes,
                         FileHandle templateFile) override;
  bool GetCommState(FileHandle port, Dcb* dcb) override;
  bool CloseHandle(FileHandle handle) override;
  long RegOpenKeyExA(RegistryRoot root, const char* subKey, std::uint32_t options,
                     std::uint32_t desiredAccess, RegistryKey* result) override;
  long RegSetValueExA(RegistryKey key, const char* valueName, std::uint32_t reserved,
                      std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override;
  long RegCloseKey(RegistryKey key) override;
  bool GetVersionExA(OsVersionInfoExA* info) override;
  int StrToIntA(const char* text) override;
  int MessageBoxA(const char* text, std::uint32_t type) override;

 private:
  std::string caption_;
  const Win32WindowLayer* dialogs_;
};

}  // namespace spoolrig
