// A system layer for tests: it records every call with all its arguments, in
// order, and answers from a small scriptable model of the machine (files,
// printers, registry keys, the COM1 port, the version record). Any step can
// be made to fail by changing the model or the scripted answers before the
// run. Single-threaded, like the code it serves.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "layer/system_layer.h"

namespace spoolrig {

// A text argument as it was passed: nullopt for a null pointer.
using RecordedText = std::optional<std::string>;

struct RecordedDriverInfo3 {
  std::uint32_t cVersion = 0;
  RecordedText pName, pEnvironment, pDriverPath, pDataFile, pConfigFile, pHelpFile;
  // The list's bytes up to and including the NUL that closes it.
  RecordedText pDependentFiles;
  RecordedText pMonitorName, pDefaultDataType;
};

struct RecordedPrinterInfo2 {
  RecordedText pServerName, pPrinterName, pShareName, pPortName, pDriverName, pComment,
      pLocation;
  bool hasDevMode = false;
  RecordedText pSepFile, pPrintProcessor, pDatatype, pParameters;
  bool hasSecurityDescriptor = false;
  std::uint32_t Attributes = 0, Priority = 0, DefaultPriority = 0, StartTime = 0,
                UntilTime = 0, Status = 0, cJobs = 0, AveragePPM = 0;
};

struct RecordedCall {
  std::string function;                 // e.g. "CopyFileA"
  std::string line;                     // the whole call as one readable line
  std::optional<RecordedDriverInfo3> driver;
  std::optional<RecordedPrinterInfo2> printer;
  std::vector<std::uint8_t> bytes;      // RegSetValueExA data; GetCommState's answer
};

// One stored registry value.
struct RecordedValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

class RecordingSystemLayer : public SystemLayer {
 public:
  RecordingSystemLayer();

  // --- What the machine holds and answers (set before the run) ------------

  bool driverDirectoryWorks = true;  // GetPrinterDriverDirectoryA's result
  std::string driverDirectory = "C:\\WINDOWS\\System32\\spool\\drivers\\w32x86";
  // AddPrinterDriverA fails when this is false or when a file that the
  // record names is not in the driver directory; AddPrinterA refuses a
  // printer whose driver is not registered or whose name is taken.
  bool addPrinterDriverWorks = true;
  bool commStateWorks = true;         // GetCommState's result
  Dcb com1State{};                    // what GetCommState writes
  std::set<std::string> openablePorts{"COM1"};
  // Keys that RegOpenKeyExA does not find, as "HKLM\path" / "HKCU\path".
  std::set<std::string> missingKeys;
  // Value names whose RegSetValueExA fails with ERROR_ACCESS_DENIED.
  std::set<std::string> failingValueNames;
  OsVersionInfoExA version{};         // what GetVersionExA writes (size kept)
  std::set<std::uint32_t> acceptedVersionSizes{kOsVersionInfoExSize, kOsVersionInfoSize};

  // Files and printers, names compared without regard to case as on the
  // platform.
  void addFile(const std::string& path);
  bool hasFile(const std::string& path) const;
  void addPrinter(const std::string& name);
  bool hasPrinter(const std::string& name) const;
  bool hasDriver(const std::string& name) const;

  // --- What happened -------------------------------------------------------

  const std::vector<RecordedCall>& calls() const { return calls_; }
  std::vector<std::string> lines() const;
  std::vector<std::string> functions() const;
  // The value written last under "HKLM\path" / "HKCU\path", if any.
  std::optional<RecordedValue> value(const std::string& key, const std::string& name) const;
  // Handles opened and never closed, rendered as in the call lines.
  std::vector<std::string> openHandles() const;

  // --- SystemLayer ---------------------------------------------------------

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
  struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  RecordedCall& record(std::string function, std::string arguments);
  std::uintptr_t openHandle(std::string kind, std::string detail);
  bool closeHandle(const std::string& kind, std::uintptr_t id);
  std::string handleName(std::uintptr_t id) const;

  std::vector<RecordedCall> calls_;
  std::set<std::string, CaseInsensitiveLess> files_;
  std::set<std::string, CaseInsensitiveLess> printers_;
  std::set<std::string, CaseInsensitiveLess> drivers_;
  std::map<std::string, RecordedValue> values_;  // "HKLM\path\name"
  struct OpenHandle {
    std::string kind;    // "printer", "file", "find", "key"
    std::string detail;  // the registry path of a key
  };
  std::map<std::uintptr_t, OpenHandle> open_;
  std::uintptr_t nextHandle_ = 1;
};

// Renders a text argument as in the call lines: "text" with bytes outside
// printable ASCII as \xNN and NUL as \0, or null.
std::string renderText(const RecordedText& text);

}  // namespace spoolrig
