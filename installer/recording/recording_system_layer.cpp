#include "recording/recording_system_layer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

namespace spoolrig {

namespace {

constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorInvalidHandle = 6;

RecordedText capture(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

// A NUL-ended list of NUL-ended names: read up to the empty name that
// closes it, never further.
RecordedText captureList(const char* list) {
  if (list == nullptr) return std::nullopt;
  std::string bytes;
  const char* p = list;
  while (true) {
    const std::size_t length = std::strlen(p);
    bytes.append(p, length + 1);
    if (length == 0) break;
    p += length + 1;
  }
  return bytes;
}

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string bytesHex(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", b);
    if (!out.empty()) out += ' ';
    out += text;
  }
  return out;
}

std::string rootName(RegistryRoot root) {
  return root == RegistryRoot::CurrentUser ? "HKCU" : "HKLM";
}

std::string pointer(const void* p) { return p == nullptr ? "null" : "non-null"; }

std::string render(const RecordedDriverInfo3& d) {
  return "{cVersion=" + std::to_string(d.cVersion) + ", pName=" + renderText(d.pName) +
         ", pEnvironment=" + renderText(d.pEnvironment) +
         ", pDriverPath=" + renderText(d.pDriverPath) + ", pDataFile=" + renderText(d.pDataFile) +
         ", pConfigFile=" + renderText(d.pConfigFile) + ", pHelpFile=" + renderText(d.pHelpFile) +
         ", pDependentFiles=" + renderText(d.pDependentFiles) +
         ", pMonitorName=" + renderText(d.pMonitorName) +
         ", pDefaultDataType=" + renderText(d.pDefaultDataType) + "}";
}

std::string render(const RecordedPrinterInfo2& p) {
  return "{pServerName=" + renderText(p.pServerName) + ", pPrinterName=" +
         renderText(p.pPrinterName) + ", pShareName=" + renderText(p.pShareName) +
         ", pPortName=" + renderText(p.pPortName) + ", pDriverName=" + renderText(p.pDriverName) +
         ", pComment=" + renderText(p.pComment) + ", pLocation=" + renderText(p.pLocation) +
         ", pDevMode=" + (p.hasDevMode ? "non-null" : "null") +
         ", pSepFile=" + renderText(p.pSepFile) +
         ", pPrintProcessor=" + renderText(p.pPrintProcessor) +
         ", pDatatype=" + renderText(p.pDatatype) + ", pParameters=" + renderText(p.pParameters) +
         ", pSecurityDescriptor=" + (p.hasSecurityDescriptor ? "non-null" : "null") +
         ", Attributes=" + std::to_string(p.Attributes) +
         ", Priority=" + std::to_string(p.Priority) +
         ", DefaultPriority=" + std::to_string(p.DefaultPriority) +
         ", StartTime=" + std::to_string(p.StartTime) +
         ", UntilTime=" + std::to_string(p.UntilTime) + ", Status=" + std::to_string(p.Status) +
         ", cJobs=" + std::to_string(p.cJobs) + ", AveragePPM=" + std::to_string(p.AveragePPM) +
         "}";
}

}  // namespace

std::string renderText(const RecordedText& text) {
  if (!text) return "null";
  std::string out = "\"";
  for (unsigned char c : *text) {
    if (c == 0) {
      out += "\\0";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out + "\"";
}

bool RecordingSystemLayer::CaseInsensitiveLess::operator()(const std::string& a,
                                                           const std::string& b) const {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const int ca = std::tolower(static_cast<unsigned char>(a[i]));
    const int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

RecordingSystemLayer::RecordingSystemLayer() {
  com1State.DCBlength = kDcbSize;
  com1State.BaudRate = 9600;
  com1State.ByteSize = 8;
}

void RecordingSystemLayer::addFile(const std::string& path) { files_.insert(path); }
bool RecordingSystemLayer::hasFile(const std::string& path) const {
  return files_.count(path) != 0;
}
void RecordingSystemLayer::addPrinter(const std::string& name) { printers_.insert(name); }
bool RecordingSystemLayer::hasPrinter(const std::string& name) const {
  return printers_.count(name) != 0;
}
bool RecordingSystemLayer::hasDriver(const std::string& name) const {
  return drivers_.count(name) != 0;
}

std::vector<std::string> RecordingSystemLayer::lines() const {
  std::vector<std::string> out;
  for (const RecordedCall& call : calls_) out.push_back(call.line);
  return out;
}

std::vector<std::string> RecordingSystemLayer::functions() const {
  std::vector<std::string> out;
  for (const RecordedCall& call : calls_) out.push_back(call.function);
  return out;
}

std::optional<RecordedValue> RecordingSystemLayer::value(const std::string& key,
                                                         const std::string& name) const {
  auto it = values_.find(key + "\\" + name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> RecordingSystemLayer::openHandles() const {
  std::vector<std::string> out;
  for (const auto& [id, handle] : open_) out.push_back(handleName(id));
  return out;
}

RecordedCall& RecordingSystemLayer::record(std::string function, std::string arguments) {
  RecordedCall call;
  call.line = function + "(" + arguments + ")";
  call.function = std::move(function);
  calls_.push_back(std::move(call));
  return calls_.back();
}

std::uintptr_t RecordingSystemLayer::openHandle(std::string kind, std::string detail) {
  const std::uintptr_t id = nextHandle_++;
  open_[id] = OpenHandle{std::move(kind), std::move(detail)};
  return id;
}

bool RecordingSystemLayer::closeHandle(const std::string& kind, std::uintptr_t id) {
  auto it = open_.find(id);
  if (it == open_.end() || it->second.kind != kind) return false;
  open_.erase(it);
  return true;
}

std::string RecordingSystemLayer::handleName(std::uintptr_t id) const {
  if (id == 0) return "null";
  if (id == ~std::uintptr_t{0}) return "INVALID_HANDLE_VALUE";
  auto it = open_.find(id);
  const std::string kind = it == open_.end() ? "handle" : it->second.kind;
  return kind + "#" + std::to_string(id);
}

bool RecordingSystemLayer::GetPrinterDriverDirectoryA(const char* server,
                                                      const char* environment,
                                                      std::uint32_t level, char* buffer,
                                                      std::uint32_t bufferSize,
                                                      std::uint32_t* needed) {
  RecordedCall& call =
      record("GetPrinterDriverDirectoryA", renderText(capture(server)) + ", " +
                                               renderText(capture(environment)) + ", " +
                                               std::to_string(level) + ", buffer, " +
                                               std::to_string(bufferSize));
  const auto size = static_cast<std::uint32_t>(driverDirectory.size() + 1);
  if (needed != nullptr) *needed = size;
  const bool ok = driverDirectoryWorks && size <= bufferSize;
  if (ok) std::memcpy(buffer, driverDirectory.c_str(), size);
  call.line += ok ? " -> 1 " + renderText(driverDirectory) : " -> 0";
  return ok;
}

bool RecordingSystemLayer::AddPrinterDriverA(const char* server, std::uint32_t level,
                                             const DriverInfo3& info) {
  RecordedDriverInfo3 d;
  d.cVersion = info.cVersion;
  d.pName = capture(info.pName);
  d.pEnvironment = capture(info.pEnvironment);
  d.pDriverPath = capture(info.pDriverPath);
  d.pDataFile = capture(info.pDataFile);
  d.pConfigFile = capture(info.pConfigFile);
  d.pHelpFile = capture(info.pHelpFile);
  d.pDependentFiles = captureList(info.pDependentFiles);
  d.pMonitorName = capture(info.pMonitorName);
  d.pDefaultDataType = capture(info.pDefaultDataType);
  RecordedCall& call = record("AddPrinterDriverA", renderText(capture(server)) + ", " +
                                                       std::to_string(level) + ", " + render(d));
  call.driver = d;
  // The spooler takes every named file from the driver directory; a name
  // may carry a leading backslash.
  auto inDirectory = [&](std::string name) {
    if (!name.empty() && name[0] == '\\') name.erase(0, 1);
    return hasFile(driverDirectory + "\\" + name);
  };
  bool ok = addPrinterDriverWorks && d.pName && !d.pName->empty();
  for (const RecordedText* file : {&d.pDriverPath, &d.pDataFile, &d.pConfigFile, &d.pHelpFile}) {
    ok = ok && *file && inDirectory(**file);
  }
  if (ok && d.pDependentFiles) {
    for (const char* p = d.pDependentFiles->c_str(); *p != '\0'; p += std::strlen(p) + 1) {
      ok = ok && inDirectory(p);
    }
  }
  if (ok) drivers_.insert(*d.pName);
  call.line += ok ? " -> 1" : " -> 0";
  return ok;
}

PrinterHandle RecordingSystemLayer::AddPrinterA(const char* server, std::uint32_t level,
                                                const PrinterInfo2& info) {
  RecordedPrinterInfo2 p;
  p.pServerName = capture(info.pServerName);
  p.pPrinterName = capture(info.pPrinterName);
  p.pShareName = capture(info.pShareName);
  p.pPortName = capture(info.pPortName);
  p.pDriverName = capture(info.pDriverName);
  p.pComment = capture(info.pComment);
  p.pLocation = capture(info.pLocation);
  p.hasDevMode = info.pDevMode != nullptr;
  p.pSepFile = capture(info.pSepFile);
  p.pPrintProcessor = capture(info.pPrintProcessor);
  p.pDatatype = capture(info.pDatatype);
  p.pParameters = capture(info.pParameters);
  p.hasSecurityDescriptor = info.pSecurityDescriptor != nullptr;
  p.Attributes = info.Attributes;
  p.Priority = info.Priority;
  p.DefaultPriority = info.DefaultPriority;
  p.StartTime = info.StartTime;
  p.UntilTime = info.UntilTime;
  p.Status = info.Status;
  p.cJobs = info.cJobs;
  p.AveragePPM = info.AveragePPM;
  RecordedCall& call = record("AddPrinterA", renderText(capture(server)) + ", " +
                                                 std::to_string(level) + ", " + render(p));
  call.printer = p;
  std::uintptr_t id = 0;
  if (p.pPrinterName && !p.pPrinterName->empty() && !hasPrinter(*p.pPrinterName) &&
      p.pDriverName && hasDriver(*p.pDriverName)) {
    printers_.insert(*p.pPrinterName);
    id = openHandle("printer", *p.pPrinterName);
  }
  call.line += " -> " + handleName(id);
  return PrinterHandle{id};
}

bool RecordingSystemLayer::OpenPrinterA(const char* printerName, PrinterHandle* printer,
                                        const void* defaults) {
  RecordedCall& call = record("OpenPrinterA", renderText(capture(printerName)) + ", printer, " +
                                                  pointer(defaults));
  std::uintptr_t id = 0;
  if (printerName != nullptr && hasPrinter(printerName)) id = openHandle("printer", printerName);
  *printer = PrinterHandle{id};
  call.line += id != 0 ? " -> 1 " + handleName(id) : " -> 0";
  return id != 0;
}

bool RecordingSystemLayer::ClosePrinter(PrinterHandle printer) {
  const auto id = static_cast<std::uintptr_t>(printer);
  RecordedCall& call = record("ClosePrinter", handleName(id));
  const bool ok = closeHandle("printer", id);
  call.line += ok ? " -> 1" : " -> 0";
  return ok;
}

bool RecordingSystemLayer::CopyFileA(const char* existingFile, const char* newFile,
                                     bool failIfExists) {
  RecordedCall& call = record("CopyFileA", renderText(capture(existingFile)) + ", " +
                                               renderText(capture(newFile)) + ", " +
                                               (failIfExists ? "1" : "0"));
  const bool ok = existingFile != nullptr && newFile != nullptr && hasFile(existingFile) &&
                  !(failIfExists && hasFile(newFile));
  if (ok) files_.insert(newFile);
  call.line += ok ? " -> 1" : " -> 0";
  return ok;
}

bool RecordingSystemLayer::DeleteFileA(const char* file) {
  RecordedCall& call = record("DeleteFileA", renderText(capture(file)));
  const bool ok = file != nullptr && files_.erase(file) != 0;
  call.line += ok ? " -> 1" : " -> 0";
  return ok;
}

FindHandle RecordingSystemLayer::FindFirstFileA(const char* pattern) {
  RecordedCall& call = record("FindFirstFileA", renderText(capture(pattern)));
  std::uintptr_t id = ~std::uintptr_t{0};
  if (pattern != nullptr && hasFile(pattern)) id = openHandle("find", pattern);
  call.line += " -> " + handleName(id);
  return FindHandle{id};
}

bool RecordingSystemLayer::FindClose(FindHandle find) {
  const auto id = static_cast<std::uintptr_t>(find);
  RecordedCall& call = record("FindClose", handleName(id));
  const bool ok = closeHandle("find", id);
  call.line += ok ? " -> 1" : " -> 0";
  return ok;
}

FileHandle RecordingSystemLayer::CreateFileA(const char* fileName, std::uint32_t desiredAccess,
                                             std::uint32_t shareMode,
                                             const void* securityAttributes,
                                             std::uint32_t creationDisposition,
                                             std::uint32_t flagsAndAttributes,
                                             FileHandle templateFile) {
  RecordedCall& call = record(
      "CreateFileA", renderText(capture(fileName)) + ", " + hex(desiredAccess) + ", " +
                         std::to_string(shareMode) + ", " + pointer(securityAttributes) + ", " +
                         std::to_string(creationDisposition) + ", " +
                         hex(flagsAndAttributes) + ", " +
                         handleName(static_cast<std::uintptr_t>(templateFile)));
  std::uintptr_t id = ~std::uintptr_t{0};
  if (fileName != nullptr && openablePorts.count(fileName) != 0) id = openHandle("file", fileName);
  call.line += " -> " + handleName(id);
  return FileHandle{id};
}

bool RecordingSystemLayer::GetCommState(FileHandle port, Dcb* dcb) {
  const auto id = static_cast<std::uintptr_t>(port);
  RecordedCall& call = record("GetCommState", handleName(id) + ", dcb");
  auto it = open_.find(id);
  const bool ok = commStateWorks && it != open_.end() && it->second.kind == "file";
  if (ok) {
    *dcb = com1State;
    call.bytes.resize(kDcbSize);
    std::memcpy(call.bytes.data(), dcb, kDcbSize);
    call.line += " -> 1 {" + bytesHex(call.bytes) + "}";
  } else {
    call.line += " -> 0";
  }
  return ok;
}

bool RecordingSystemLayer::CloseHandle(FileHandle handle) {
  const auto id = static_cast<std::uintptr_t>(handle);
  RecordedCall& call = record("CloseHandle", handleName(id));
  const bool ok = closeHandle("file", id);
  call.line += ok ? " -> 1" : " -> 0";
  return ok;
}

long RecordingSystemLayer::RegOpenKeyExA(RegistryRoot root, const char* subKey,
                                         std::uint32_t options, std::uint32_t desiredAccess,
                                         RegistryKey* result) {
  RecordedCall& call = record("RegOpenKeyExA", rootName(root) + ", " +
                                                   renderText(capture(subKey)) + ", " +
                                                   std::to_string(options) + ", " +
                                                   hex(desiredAccess));
  const std::string path = rootName(root) + "\\" + (subKey ? subKey : "");
  if (subKey == nullptr || missingKeys.count(path) != 0) {
    call.line += " -> " + std::to_string(kErrorFileNotFound);
    return kErrorFileNotFound;
  }
  const std::uintptr_t id = openHandle("key", path);
  *result = RegistryKey{id};
  call.line += " -> 0 " + handleName(id);
  return 0;
}

long RecordingSystemLayer::RegSetValueExA(RegistryKey key, const char* valueName,
                                          std::uint32_t reserved, std::uint32_t type,
                                          const std::uint8_t* data, std::uint32_t size) {
  const auto id = static_cast<std::uintptr_t>(key);
  RecordedCall& call = record("RegSetValueExA", "");
  if (data != nullptr) call.bytes.assign(data, data + size);
  const std::string shown =
      type == win::kRegSz ? renderText(std::string(call.bytes.begin(), call.bytes.end()))
                          : "{" + bytesHex(call.bytes) + "}";
  call.line = "RegSetValueExA(" + handleName(id) + ", " + renderText(capture(valueName)) + ", " +
              std::to_string(reserved) + ", " + std::to_string(type) + ", " + shown + ", " +
              std::to_string(size) + ")";
  auto it = open_.find(id);
  long result = 0;
  if (it == open_.end() || it->second.kind != "key") {
    result = kErrorInvalidHandle;
  } else if (valueName == nullptr || failingValueNames.count(valueName) != 0) {
    result = kErrorAccessDenied;
  } else {
    values_[it->second.detail + "\\" + valueName] = RecordedValue{type, call.bytes};
  }
  call.line += " -> " + std::to_string(result);
  return result;
}

long RecordingSystemLayer::RegCloseKey(RegistryKey key) {
  const auto id = static_cast<std::uintptr_t>(key);
  RecordedCall& call = record("RegCloseKey", handleName(id));
  const long result = closeHandle("key", id) ? 0 : kErrorInvalidHandle;
  call.line += " -> " + std::to_string(result);
  return result;
}

bool RecordingSystemLayer::GetVersionExA(OsVersionInfoExA* info) {
  const std::uint32_t size = info->dwOSVersionInfoSize;
  RecordedCall& call = record("GetVersionExA", "size " + std::to_string(size));
  const bool ok = acceptedVersionSizes.count(size) != 0 && size <= sizeof *info;
  if (ok) {
    // Only the first `size` bytes belong to the caller's record.
    OsVersionInfoExA answer = version;
    answer.dwOSVersionInfoSize = size;
    std::memcpy(info, &answer, size);
    call.line += " -> 1 {platform " + std::to_string(version.dwPlatformId) + ", " +
                 std::to_string(version.dwMajorVersion) + "." +
                 std::to_string(version.dwMinorVersion) + "}";
  } else {
    call.line += " -> 0";
  }
  return ok;
}

int RecordingSystemLayer::StrToIntA(const char* text) {
  RecordedCall& call = record("StrToIntA", renderText(capture(text)));
  // Optional sign, then decimal digits; anything else ends the number.
  int value = 0;
  if (text != nullptr) {
    const char* p = text;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    while (*p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
    if (negative) value = -value;
  }
  call.line += " -> " + std::to_string(value);
  return value;
}

int RecordingSystemLayer::MessageBoxA(const char* text, std::uint32_t type) {
  RecordedCall& call =
      record("MessageBoxA", renderText(capture(text)) + ", " + hex(type));
  call.line += " -> " + std::to_string(win::kIdOk);
  return win::kIdOk;
}

}  // namespace spoolrig
