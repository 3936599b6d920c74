#include "win32/win32_system_layer.h"

#include <windows.h>
#include <shlwapi.h>
#include <winspool.h>

#include <cstddef>
#include <cstring>

#include "win32/win32_window_layer.h"

namespace spoolrig {

// The mirrors in the system layer must match the platform's records byte for
// byte, since they are copied across whole.
static_assert(sizeof(DCB) == sizeof(Dcb));
static_assert(offsetof(DCB, BaudRate) == offsetof(Dcb, BaudRate));
static_assert(offsetof(DCB, wReserved) == offsetof(Dcb, wReserved));
static_assert(offsetof(DCB, XonLim) == offsetof(Dcb, XonLim));
static_assert(offsetof(DCB, XoffLim) == offsetof(Dcb, XoffLim));
static_assert(offsetof(DCB, ByteSize) == offsetof(Dcb, ByteSize));
static_assert(offsetof(DCB, Parity) == offsetof(Dcb, Parity));
static_assert(offsetof(DCB, StopBits) == offsetof(Dcb, StopBits));
static_assert(offsetof(DCB, XonChar) == offsetof(Dcb, XonChar));
static_assert(offsetof(DCB, XoffChar) == offsetof(Dcb, XoffChar));
static_assert(offsetof(DCB, ErrorChar) == offsetof(Dcb, ErrorChar));
static_assert(offsetof(DCB, EofChar) == offsetof(Dcb, EofChar));
static_assert(offsetof(DCB, EvtChar) == offsetof(Dcb, EvtChar));
static_assert(offsetof(DCB, wReserved1) == offsetof(Dcb, wReserved1));
static_assert(sizeof(OSVERSIONINFOEXA) == sizeof(OsVersionInfoExA));
static_assert(sizeof(OSVERSIONINFOA) == kOsVersionInfoSize);
static_assert(offsetof(OSVERSIONINFOEXA, dwPlatformId) == offsetof(OsVersionInfoExA, dwPlatformId));
static_assert(offsetof(OSVERSIONINFOEXA, wServicePackMajor) ==
              offsetof(OsVersionInfoExA, wServicePackMajor));
static_assert(offsetof(OSVERSIONINFOEXA, wProductType) == offsetof(OsVersionInfoExA, wProductType));
static_assert(KEY_SET_VALUE == win::kKeySetValue && REG_SZ == win::kRegSz &&
              REG_BINARY == win::kRegBinary && ERROR_SUCCESS == win::kErrorSuccess);
static_assert(GENERIC_READ == win::kGenericRead && GENERIC_WRITE == win::kGenericWrite &&
              OPEN_EXISTING == win::kOpenExisting);
static_assert(MB_OK == win::kMbOk && MB_ICONEXCLAMATION == win::kMbIconExclamation &&
              IDOK == win::kIdOk);
static_assert(PRINTER_ATTRIBUTE_DEFAULT == win::kPrinterAttributeDefault);
static_assert(VER_PLATFORM_WIN32_WINDOWS == win::kPlatformWin32Windows &&
              VER_PLATFORM_WIN32_NT == win::kPlatformWin32Nt);

namespace {

// The Win32 records take non-const text pointers but do not write through
// them for the calls made here.
LPSTR mutableText(const char* text) { return const_cast<LPSTR>(text); }

template <typename Handle>
HANDLE toWin32(Handle handle) {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}

template <typename Handle>
Handle fromWin32(HANDLE handle) {
  return Handle{reinterpret_cast<std::uintptr_t>(handle)};
}

std::string programTitle() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name(path, length < MAX_PATH ? length : 0);
  const std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

}  // namespace

Win32SystemLayer::Win32SystemLayer(const Win32WindowLayer* dialogs)
    : caption_(programTitle()), dialogs_(dialogs) {}

bool Win32SystemLayer::GetPrinterDriverDirectoryA(const char* server, const char* environment,
                                                  std::uint32_t level, char* buffer,
                                                  std::uint32_t bufferSize,
                                                  std::uint32_t* needed) {
  DWORD neededBytes = 0;
  const BOOL ok = ::GetPrinterDriverDirectoryA(mutableText(server), mutableText(environment),
                                               level, reinterpret_cast<LPBYTE>(buffer),
                                               bufferSize, &neededBytes);
  if (needed != nullptr) *needed = neededBytes;
  return ok != FALSE;
}

bool Win32SystemLayer::AddPrinterDriverA(const char* server, std::uint32_t level,
                                         const DriverInfo3& info) {
  DRIVER_INFO_3A record{};
  record.cVersion = info.cVersion;
  record.pName = mutableText(info.pName);
  record.pEnvironment = mutableText(info.pEnvironment);
  record.pDriverPath = mutableText(info.pDriverPath);
  record.pDataFile = mutableText(info.pDataFile);
  record.pConfigFile = mutableText(info.pConfigFile);
  record.pHelpFile = mutableText(info.pHelpFile);
  record.pDependentFiles = mutableText(info.pDependentFiles);
  record.pMonitorName = mutableText(info.pMonitorName);
  record.pDefaultDataType = mutableText(info.pDefaultDataType);
  return ::AddPrinterDriverA(mutableText(server), level, reinterpret_cast<LPBYTE>(&record)) !=
         FALSE;
}

PrinterHandle Win32SystemLayer::AddPrinterA(const char* server, std::uint32_t level,
                                            const PrinterInfo2& info) {
  PRINTER_INFO_2A record{};
  record.pServerName = mutableText(info.pServerName);
  record.pPrinterName = mutableText(info.pPrinterName);
  record.pShareName = mutableText(info.pShareName);
  record.pPortName = mutableText(info.pPortName);
  record.pDriverName = mutableText(info.pDriverName);
  record.pComment = mutableText(info.pComment);
  record.pLocation = mutableText(info.pLocation);
  record.pDevMode = static_cast<LPDEVMODEA>(const_cast<void*>(info.pDevMode));
  record.pSepFile = mutableText(info.pSepFile);
  record.pPrintProcessor = mutableText(info.pPrintProcessor);
  record.pDatatype = mutableText(info.pDatatype);
  record.pParameters = mutableText(info.pParameters);
  record.pSecurityDescriptor =
      static_cast<PSECURITY_DESCRIPTOR>(const_cast<void*>(info.pSecurityDescriptor));
  record.Attributes = info.Attributes;
  record.Priority = info.Priority;
  record.DefaultPriority = info.DefaultPriority;
  record.StartTime = info.StartTime;
  record.UntilTime = info.UntilTime;
  record.Status = info.Status;
  record.cJobs = info.cJobs;
  record.AveragePPM = info.AveragePPM;
  return fromWin32<PrinterHandle>(
      ::AddPrinterA(mutableText(server), level, reinterpret_cast<LPBYTE>(&record)));
}

bool Win32SystemLayer::OpenPrinterA(const char* printerName, PrinterHandle* printer,
                                    const void* defaults) {
  HANDLE handle = nullptr;
  const BOOL ok = ::OpenPrinterA(mutableText(printerName), &handle,
                                 static_cast<LPPRINTER_DEFAULTSA>(const_cast<void*>(defaults)));
  *printer = ok ? fromWin32<PrinterHandle>(handle) : PrinterHandle::None;
  return ok != FALSE;
}

bool Win32SystemLayer::ClosePrinter(PrinterHandle printer) {
  return ::ClosePrinter(toWin32(printer)) != FALSE;
}

bool Win32SystemLayer::CopyFileA(const char* existingFile, const char* newFile,
                                 bool failIfExists) {
  return ::CopyFileA(existingFile, newFile, failIfExists ? TRUE : FALSE) != FALSE;
}

bool Win32SystemLayer::DeleteFileA(const char* file) { return ::DeleteFileA(file) != FALSE; }

FindHandle Win32SystemLayer::FindFirstFileA(const char* pattern) {
  WIN32_FIND_DATAA data{};
  return fromWin32<FindHandle>(::FindFirstFileA(pattern, &data));
}

bool Win32SystemLayer::FindClose(FindHandle find) { return ::FindClose(toWin32(find)) != FALSE; }

FileHandle Win32SystemLayer::CreateFileA(const char* fileName, std::uint32_t desiredAccess,
                                         std::uint32_t shareMode, const void* securityAttributes,
                                         std::uint32_t creationDisposition,
                                         std::uint32_t flagsAndAttributes,
                                         FileHandle templateFile) {
  return fromWin32<FileHandle>(::CreateFileA(
      fileName, desiredAccess, shareMode,
      static_cast<LPSECURITY_ATTRIBUTES>(const_cast<void*>(securityAttributes)),
      creationDisposition, flagsAndAttributes, toWin32(templateFile)));
}

bool Win32SystemLayer::GetCommState(FileHandle port, Dcb* dcb) {
  DCB state{};
  state.DCBlength = sizeof state;
  if (!::GetCommState(toWin32(port), &state)) return false;
  std::memcpy(static_cast<void*>(dcb), &state, sizeof state);
  return true;
}

bool Win32SystemLayer::CloseHandle(FileHandle handle) {
  return ::CloseHandle(toWin32(handle)) != FALSE;
}

long Win32SystemLayer::RegOpenKeyExA(RegistryRoot root, const char* subKey,
                                     std::uint32_t options, std::uint32_t desiredAccess,
                                     RegistryKey* result) {
  HKEY rootKey = root == RegistryRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  HKEY key = nullptr;
  const LONG status = ::RegOpenKeyExA(rootKey, subKey, options, desiredAccess, &key);
  if (status == ERROR_SUCCESS) *result = fromWin32<RegistryKey>(key);
  return status;
}

long Win32SystemLayer::RegSetValueExA(RegistryKey key, const char* valueName,
                                      std::uint32_t reserved, std::uint32_t type,
                                      const std::uint8_t* data, std::uint32_t size) {
  return ::RegSetValueExA(reinterpret_cast<HKEY>(toWin32(key)), valueName, reserved, type, data,
                          size);
}

long Win32SystemLayer::RegCloseKey(RegistryKey key) {
  return ::RegCloseKey(reinterpret_cast<HKEY>(toWin32(key)));
}

bool Win32SystemLayer::GetVersionExA(OsVersionInfoExA* info) {
  OSVERSIONINFOEXA record{};
  std::memcpy(&record, info, sizeof record);
  if (!::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&record))) return false;
  // Only the bytes the caller's size covers are the system's answer.
  std::memcpy(static_cast<void*>(info), &record, info->dwOSVersionInfoSize <= sizeof record
                                 ? info->dwOSVersionInfoSize
                                 : sizeof record);
  return true;
}

int Win32SystemLayer::StrToIntA(const char* text) { return ::StrToIntA(text); }

int Win32SystemLayer::MessageBoxA(const char* text, std::uint32_t type) {
  // Owned by the dialog that is open, which the box disables while it is up,
  // so that OK or Back cannot run again underneath it. The active window
  // would not do: it is null while another program is in front.
  const HWND owner = dialogs_ != nullptr ? static_cast<HWND>(dialogs_->innermostDialog())
                                         : nullptr;
  return ::MessageBoxA(owner, text, caption_.c_str(), type);
}

}  // namespace spoolrig
