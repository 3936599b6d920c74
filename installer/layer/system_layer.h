// The Windows services that the installation procedures and the version
// classification use: print spooler, files, serial port, registry, version
// query, text-to-number conversion and the one message box. The logic talks
// only to this interface; win32/ supplies the real functions and recording/
// a scriptable stand-in that records every call.
//
// Each operation mirrors one ANSI Win32 function, with the same arguments in
// the same order, so a recorded call reads like the real one. The records
// passed through it mirror the platform's structures field by field; texts
// are `const char*` so that a null pointer stays distinct from "".
// Everything runs on the user-interface thread; nothing here is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace spoolrig {

// Opaque handles. A value of 0 is "none" for printers, registry keys and
// find handles; a serial port or find handle that failed to open is
// kInvalidFileHandle / kInvalidFindHandle, as INVALID_HANDLE_VALUE on the
// platform.
enum class PrinterHandle : std::uintptr_t { None = 0 };
enum class FileHandle : std::uintptr_t { None = 0 };
enum class FindHandle : std::uintptr_t { None = 0 };
enum class RegistryKey : std::uintptr_t { None = 0 };

inline constexpr FileHandle kInvalidFileHandle{~std::uintptr_t{0}};
inline constexpr FindHandle kInvalidFindHandle{~std::uintptr_t{0}};

// The predefined registry roots that the installer writes under.
enum class RegistryRoot { CurrentUser, LocalMachine };

// Platform constants, spelled so they never collide with <windows.h> macros.
namespace win {
inline constexpr std::uint32_t kKeySetValue = 0x0002;         // KEY_SET_VALUE
inline constexpr std::uint32_t kRegSz = 1;                     // REG_SZ
inline constexpr std::uint32_t kRegBinary = 3;                 // REG_BINARY
inline constexpr long kErrorSuccess = 0;                       // ERROR_SUCCESS
inline constexpr std::uint32_t kGenericRead = 0x80000000u;     // GENERIC_READ
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;    // GENERIC_WRITE
inline constexpr std::uint32_t kOpenExisting = 3;              // OPEN_EXISTING
inline constexpr std::uint32_t kMbOk = 0x00000000u;            // MB_OK
inline constexpr std::uint32_t kMbIconExclamation = 0x30u;     // MB_ICONEXCLAMATION
inline constexpr int kIdOk = 1;                                // IDOK
inline constexpr std::uint32_t kPrinterAttributeDefault = 4;   // PRINTER_ATTRIBUTE_DEFAULT
inline constexpr std::uint32_t kPlatformWin32Windows = 1;      // VER_PLATFORM_WIN32_WINDOWS
inline constexpr std::uint32_t kPlatformWin32Nt = 2;           // VER_PLATFORM_WIN32_NT
}  // namespace win

// DRIVER_INFO_3A, every field in the structure's order. pDependentFiles is
// a list of NUL-ended names closed by one more NUL (an empty list is "").
struct DriverInfo3 {
  std::uint32_t cVersion = 0;
  const char* pName = nullptr;
  const char* pEnvironment = nullptr;
  const char* pDriverPath = nullptr;
  const char* pDataFile = nullptr;
  const char* pConfigFile = nullptr;
  const char* pHelpFile = nullptr;
  const char* pDependentFiles = nullptr;
  const char* pMonitorName = nullptr;
  const char* pDefaultDataType = nullptr;
};

// PRINTER_INFO_2A, every field in the structure's order.
struct PrinterInfo2 {
  const char* pServerName = nullptr;
  const char* pPrinterName = nullptr;
  const char* pShareName = nullptr;
  const char* pPortName = nullptr;
  const char* pDriverName = nullptr;
  const char* pComment = nullptr;
  const char* pLocation = nullptr;
  const void* pDevMode = nullptr;
  const char* pSepFile = nullptr;
  const char* pPrintProcessor = nullptr;
  const char* pDatatype = nullptr;
  const char* pParameters = nullptr;
  const void* pSecurityDescriptor = nullptr;
  std::uint32_t Attributes = 0;
  std::uint32_t Priority = 0;
  std::uint32_t DefaultPriority = 0;
  std::uint32_t StartTime = 0;
  std::uint32_t UntilTime = 0;
  std::uint32_t Status = 0;
  std::uint32_t cJobs = 0;
  std::uint32_t AveragePPM = 0;
};

// OSVERSIONINFOEXA: 156 bytes. Its first 148 bytes are OSVERSIONINFOA, the
// record that older systems accept.
struct OsVersionInfoExA {
  std::uint32_t dwOSVersionInfoSize = 0;
  std::uint32_t dwMajorVersion = 0;
  std::uint32_t dwMinorVersion = 0;
  std::uint32_t dwBuildNumber = 0;
  std::uint32_t dwPlatformId = 0;
  char szCSDVersion[128] = {};
  std::uint16_t wServicePackMajor = 0;
  std::uint16_t wServicePackMinor = 0;
  std::uint16_t wSuiteMask = 0;
  std::uint8_t wProductType = 0;
  std::uint8_t wReserved = 0;
};
inline constexpr std::uint32_t kOsVersionInfoExSize = 156;
inline constexpr std::uint32_t kOsVersionInfoSize = 148;
static_assert(sizeof(OsVersionInfoExA) == kOsVersionInfoExSize);
static_assert(offsetof(OsVersionInfoExA, wServicePackMajor) == kOsVersionInfoSize);

// The serial line record DCB, in the platform's 28-byte layout and byte
// order on every build. The platform's bitfields (fBinary ... fAbortOnError)
// live in the one 32-bit `flags` word at offset 8, bit 0 being fBinary.
struct Dcb {
  std::uint32_t DCBlength = 0;
  std::uint32_t BaudRate = 0;
  std::uint32_t flags = 0;
  std::uint16_t wReserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;
  std::uint8_t StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  std::uint16_t wReserved1 = 0;
};
inline constexpr std::uint32_t kDcbSize = 28;
static_assert(sizeof(Dcb) == kDcbSize);
static_assert(offsetof(Dcb, BaudRate) == 4);
static_assert(offsetof(Dcb, flags) == 8);
static_assert(offsetof(Dcb, wReserved) == 12);
static_assert(offsetof(Dcb, XonLim) == 14);
static_assert(offsetof(Dcb, XoffLim) == 16);
static_assert(offsetof(Dcb, ByteSize) == 18);
static_assert(offsetof(Dcb, Parity) == 19);
static_assert(offsetof(Dcb, StopBits) == 20);
static_assert(offsetof(Dcb, XonChar) == 21);
static_assert(offsetof(Dcb, EvtChar) == 25);
static_assert(offsetof(Dcb, wReserved1) == 26);

class SystemLayer {
 public:
  virtual ~SystemLayer() = default;

  // --- Print spooler -------------------------------------------------------

  // Writes the driver directory of `environment` (null: the running system's
  // own) as a NUL-ended text into `buffer` of `bufferSize` bytes; `needed`
  // receives the size it takes. False on failure; the buffer may then be
  // left as it was.
  virtual bool GetPrinterDriverDirectoryA(const char* server, const char* environment,
                                          std::uint32_t level, char* buffer,
                                          std::uint32_t bufferSize, std::uint32_t* needed) = 0;
  // Registers a driver; `info` is read only during the call.
  virtual bool AddPrinterDriverA(const char* server, std::uint32_t level,
                                 const DriverInfo3& info) = 0;
  // Adds a printer; returns its open handle, or None when it was refused
  // (for example because a printer of that name exists).
  virtual PrinterHandle AddPrinterA(const char* server, std::uint32_t level,
                                    const PrinterInfo2& info) = 0;
  // Opens the printer named `printerName` with default access (`defaults`
  // is always null here); false when the spooler holds no such printer.
  // An opened printer must be given to ClosePrinter.
  virtual bool OpenPrinterA(const char* printerName, PrinterHandle* printer,
                            const void* defaults) = 0;
  virtual bool ClosePrinter(PrinterHandle printer) = 0;

  // --- Files ---------------------------------------------------------------

  virtual bool CopyFileA(const char* existingFile, const char* newFile, bool failIfExists) = 0;
  virtual bool DeleteFileA(const char* file) = 0;
  // Returns kInvalidFindHandle when nothing matches `pattern`; any other
  // handle must be given to FindClose.
  virtual FindHandle FindFirstFileA(const char* pattern) = 0;
  virtual bool FindClose(FindHandle find) = 0;

  // --- Serial port ---------------------------------------------------------

  // Returns kInvalidFileHandle when the device cannot be opened.
  virtual FileHandle CreateFileA(const char* fileName, std::uint32_t desiredAccess,
                                 std::uint32_t shareMode, const void* securityAttributes,
                                 std::uint32_t creationDisposition,
                                 std::uint32_t flagsAndAttributes, FileHandle templateFile) = 0;
  // Fills `dcb` with the port's current settings; false when it cannot.
  virtual bool GetCommState(FileHandle port, Dcb* dcb) = 0;
  virtual bool CloseHandle(FileHandle handle) = 0;

  // --- Registry (keys are only ever opened, never created) -----------------

  // Returns 0 and stores the open key in `result`, or an error code.
  virtual long RegOpenKeyExA(RegistryRoot root, const char* subKey, std::uint32_t options,
                             std::uint32_t desiredAccess, RegistryKey* result) = 0;
  // Writes `size` bytes of `data` as value `valueName`; 0 on success.
  virtual long RegSetValueExA(RegistryKey key, const char* valueName, std::uint32_t reserved,
                              std::uint32_t type, const std::uint8_t* data,
                              std::uint32_t size) = 0;
  virtual long RegCloseKey(RegistryKey key) = 0;

  // --- Version, conversion, message ----------------------------------------

  // Fills the record up to the size in info->dwOSVersionInfoSize (156 or
  // 148); false when the system does not accept that size.
  virtual bool GetVersionExA(OsVersionInfoExA* info) = 0;
  // Decimal text to integer, 0 when the text does not start with a number.
  virtual int StrToIntA(const char* text) = 0;
  // Shows `text` (code page 936) modally with the program's file name,
  // without extension, as caption; returns the button pressed.
  virtual int MessageBoxA(const char* text, std::uint32_t type) = 0;
};

}  // namespace spoolrig
