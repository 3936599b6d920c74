// The 9x-family installation procedure over the recording system layer:
// the exact calls, the DCB bytes it stores, and its failure paths.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "logic/catalogue.h"
#include "logic/install_procedures.h"
#include "recording/recording_system_layer.h"

namespace spoolrig {
namespace {

using Lines = std::vector<std::string>;

constexpr char kSystemDir[] = R"(C:\WINDOWS\SYSTEM)";

// A 9x machine with the medium's files in the current folder and a COM1
// whose every field differs from what the procedure writes, so that kept
// fields show.
struct Win9xMachine : RecordingSystemLayer {
  Win9xMachine() {
    driverDirectory = kSystemDir;
    for (const char* f : {"TPX58.DLL.drv", "TPX80.DLL.drv", "TPX76.DLL.drv", "iconlib.dll",
                          "unidrv.dll", "unidrv.hlp"}) {
      addFile(f);
    }
    com1State.DCBlength = 28;
    com1State.BaudRate = 1200;
    com1State.flags = 0xA5C3FFFF;
    com1State.wReserved = 0x1111;
    com1State.XonLim = 0x0202;
    com1State.XoffLim = 0x0303;
    com1State.ByteSize = 6;
    com1State.Parity = 3;
    com1State.StopBits = 2;
    com1State.XonChar = 0x11;
    com1State.XoffChar = 0x13;
    com1State.ErrorChar = 0x3F;
    com1State.EofChar = 0x1A;
    com1State.EvtChar = 0x0A;
    com1State.wReserved1 = 0x7777;
  }
};

// Parity row 2 is None, stop-bits row 0 is one stop bit.
InstallSettings comSettings(int port, int baud, int byteSize, int flow, int parity = 2,
                            int stopBits = 0) {
  InstallSettings s;
  s.portIndex = port;
  s.baudIndex = baud;
  s.byteSizeIndex = byteSize;
  s.flowIndex = flow;
  s.parityIndex = parity;
  s.stopBitsIndex = stopBits;
  return s;
}

constexpr char kCom2Key[] = R"(HKLM\System\CurrentControlSet\Services\Class\Ports\0001)";

Lines serialPart(const RecordingSystemLayer& system) {
  const Lines lines = system.lines();
  auto first = std::find_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("CreateFileA", 0) == 0; });
  return Lines(first, lines.end());
}

TEST(InstallWin9xFamilyTest, ModelRowFourAsDefaultOnAParallelPort) {
  Win9xMachine system;
  InstallSettings settings;
  settings.modelIndex = 4;
  settings.portIndex = 2;
  settings.setDefault = true;
  system.addFile(std::string(kSystemDir) + "\\ICONLIB.DLL");  // replaced whatever is there
  InstallWin9xFamily(system, settings);

  const std::string d = kSystemDir;
  const Lines expected = {
      R"(GetPrinterDriverDirectoryA(null, null, 1, buffer, 255) -> 1 ")" + d + "\"",
      R"(CopyFileA("TPX80.DLL.drv", ")" + d + R"(\TPX80.DLL.drv", 0) -> 1)",
      R"(CopyFileA("iconlib.dll", ")" + d + R"(\iconlib.dll", 0) -> 1)",
      R"(FindFirstFileA(")" + d + R"(\unidrv.dll") -> INVALID_HANDLE_VALUE)",
      R"(CopyFileA("unidrv.dll", ")" + d + R"(\unidrv.dll", 0) -> 1)",
      R"(CopyFileA("unidrv.hlp", ")" + d + R"(\unidrv.HLP", 0) -> 1)",
      R"(AddPrinterDriverA(null, 3, {cVersion=0, pName="TPX-90", pEnvironment="Windows 4.0", )"
      R"(pDriverPath="TPX80.DLL.drv", pDataFile="TPX80.DLL.drv", pConfigFile="TPX80.DLL.drv", )"
      R"(pHelpFile="UNIDRV.HLP", pDependentFiles="\0", pMonitorName="", )"
      R"(pDefaultDataType="RAW"}) -> 1)",
      R"(AddPrinterA(null, 2, {pServerName=null, pPrinterName="TPX-90", pShareName=null, )"
      R"(pPortName="LPT3:", pDriverName="TPX-90", pComment=null, pLocation=null, pDevMode=null, )"
      R"(pSepFile=null, pPrintProcessor="WinPrint", pDatatype="RAW", pParameters=null, )"
      R"(pSecurityDescriptor=null, Attributes=4, Priority=0, DefaultPriority=0, StartTime=0, )"
      R"(UntilTime=0, Status=0, cJobs=0, AveragePPM=0}) -> printer#1)",
      "ClosePrinter(printer#1) -> 1",
  };
  EXPECT_EQ(expected, system.lines());
  // The copies stay in the driver directory.
  for (const char* f : {"\\TPX80.DLL.drv", "\\iconlib.dll", "\\unidrv.dll", "\\unidrv.HLP"}) {
    EXPECT_TRUE(system.hasFile(d + f)) << f;
  }
}

TEST(InstallWin9xFamilyTest, InstalledUnidrvIsLeftAlone) {
  Win9xMachine system;
  system.addFile(std::string(kSystemDir) + "\\UNIDRV.DLL");
  InstallWin9xFamily(system, InstallSettings{});
  const Lines lines = system.lines();
  EXPECT_EQ(R"(FindFirstFileA("C:\WINDOWS\SYSTEM\unidrv.dll") -> find#1)", lines[3]);
  EXPECT_EQ("FindClose(find#1) -> 1", lines[4]);
  EXPECT_EQ(R"(CopyFileA("unidrv.hlp", "C:\WINDOWS\SYSTEM\unidrv.HLP", 0) -> 1)", lines[5]);
  const Lines functions = system.functions();
  EXPECT_EQ(3, std::count(functions.begin(), functions.end(), "CopyFileA"));
  EXPECT_TRUE(system.openHandles().empty());
}

TEST(InstallWin9xFamilyTest, StoresCom1sStateWithTheChosenLineSettings) {
  struct Case {
    const char* name;
    InstallSettings settings;
    Lines expected;
  };
  const std::string com1State =
      "1C 00 00 00 B0 04 00 00 FF FF C3 A5 11 11 02 02 03 03 06 03 02 11 13 3F 1A 0A 77 77";
  const std::string open =
      R"(CreateFileA("COM1", 0xC0000000, 0, null, 3, 0x0, null) -> file#2)";
  const std::string read = "GetCommState(file#2, dcb) -> 1 {" + com1State + "}";
  const char* keyPrefix = R"(RegOpenKeyExA(HKLM, "System\CurrentControlSet\Services\Class\Ports\)";
  const Case cases[] = {
      {"COM2: 9600/7/Odd/2/XonXoff, parity checked",
       comSettings(4, 4, 2, 1, 3, 2),
       {open, read, R"(StrToIntA("9600") -> 9600)", R"(StrToIntA("7") -> 7)",
        std::string(keyPrefix) + R"(0001", 0, 0x2) -> 0 key#3)",
        "RegSetValueExA(key#3, \"DCB\", 0, 3, {1C 00 00 00 80 25 00 00 13 03 C3 A5 11 11 02 02 "
        "03 03 07 01 02 11 13 3F 1A 0A 77 77}, 28) -> 0",
        "RegCloseKey(key#3) -> 0", "CloseHandle(file#2) -> 1"}},
      {"COM1: the dialog's defaults",
       comSettings(3, 5, 3, 2),
       {open, read, R"(StrToIntA("19200") -> 19200)", R"(StrToIntA("8") -> 8)",
        std::string(keyPrefix) + R"(0000", 0, 0x2) -> 0 key#3)",
        "RegSetValueExA(key#3, \"DCB\", 0, 3, {1C 00 00 00 00 4B 00 00 15 20 C3 A5 11 11 02 02 "
        "03 03 08 00 00 11 13 3F 1A 0A 77 77}, 28) -> 0",
        "RegCloseKey(key#3) -> 0", "CloseHandle(file#2) -> 1"}},
      {"COM2: 115200/5/None",
       comSettings(4, 8, 0, 0),
       {open, read, R"(StrToIntA("115200") -> 115200)", R"(StrToIntA("5") -> 5)",
        std::string(keyPrefix) + R"(0001", 0, 0x2) -> 0 key#3)",
        "RegSetValueExA(key#3, \"DCB\", 0, 3, {1C 00 00 00 00 C2 01 00 11 00 C3 A5 11 11 02 02 "
        "03 03 05 00 00 11 13 3F 1A 0A 77 77}, 28) -> 0",
        "RegCloseKey(key#3) -> 0", "CloseHandle(file#2) -> 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Win9xMachine system;
    InstallWin9xFamily(system, c.settings);
    EXPECT_EQ(c.expected, serialPart(system));
    EXPECT_TRUE(system.openHandles().empty());
  }
}

// Every parity and stop-bits row lands as the platform's DCB value, with
// parity checking on exactly when there is a parity bit.
TEST(InstallWin9xFamilyTest, EveryParityAndStopBitsRowIsStoredAsChosen) {
  struct Row {
    int parityRow, stopRow;
    std::uint8_t parity, stopBits;
    bool checked;
  };
  const Row rows[] = {{0, 0, 2, 0, true},  {1, 1, 3, 1, true}, {2, 2, 0, 2, false},
                      {3, 0, 1, 0, true},  {4, 1, 4, 1, true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(ModelCatalogue::parities[r.parityRow].listText);
    Win9xMachine system;
    system.com1State.flags = 0;
    InstallWin9xFamily(system, comSettings(4, 5, 3, 0, r.parityRow, r.stopRow));
    const auto dcb = system.value(kCom2Key, "DCB");
    ASSERT_TRUE(dcb.has_value());
    EXPECT_EQ(r.parity, dcb->data[19]);
    EXPECT_EQ(r.stopBits, dcb->data[20]);
    EXPECT_EQ(r.checked ? 0x13 : 0x11, dcb->data[8]);
  }
}

// COM3 and COM4 have no class key of their own: nothing is opened or
// written for them, and the printer is installed as for any port.
TEST(InstallWin9xFamilyTest, Com3AndCom4LeaveEveryPortRecordAlone) {
  for (int port : {5, 6}) {
    SCOPED_TRACE(ModelCatalogue::ports[port].portName);
    Win9xMachine system;
    InstallWin9xFamily(system, comSettings(port, 4, 2, 1, 3, 2));
    EXPECT_TRUE(serialPart(system).empty());
    const Lines functions = system.functions();
    EXPECT_EQ(0, std::count(functions.begin(), functions.end(), "RegOpenKeyExA"));
    EXPECT_EQ(0, std::count(functions.begin(), functions.end(), "MessageBoxA"));
    EXPECT_TRUE(system.hasPrinter("TPX-58"));
    EXPECT_EQ("ClosePrinter", functions.back());
  }
}

TEST(InstallWin9xFamilyTest, FlowRowsBeyondXonXoffMeanHardware) {
  Win9xMachine system;
  system.com1State.flags = 0;
  InstallWin9xFamily(system, comSettings(4, 5, 3, 7));
  const auto dcb = system.value(kCom2Key, "DCB");
  ASSERT_TRUE(dcb.has_value());
  EXPECT_EQ(0x15, dcb->data[8]);
  EXPECT_EQ(0x20, dcb->data[9]);
}

TEST(InstallWin9xFamilyTest, WithoutCom1sStateNoDcbIsWritten) {
  struct Case {
    const char* name;
    bool openable, readable;
    Lines expected;
  };
  const Case cases[] = {
      {"COM1 cannot be opened", false, true,
       {R"(CreateFileA("COM1", 0xC0000000, 0, null, 3, 0x0, null) -> INVALID_HANDLE_VALUE)"}},
      {"GetCommState fails", true, false,
       {R"(CreateFileA("COM1", 0xC0000000, 0, null, 3, 0x0, null) -> file#2)",
        "GetCommState(file#2, dcb) -> 0", "CloseHandle(file#2) -> 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Win9xMachine system;
    if (!c.openable) system.openablePorts.clear();
    system.commStateWorks = c.readable;
    InstallWin9xFamily(system, comSettings(4, 5, 3, 2));
    EXPECT_EQ(c.expected, serialPart(system));
    EXPECT_TRUE(system.openHandles().empty());
  }
}

TEST(InstallWin9xFamilyTest, RegistryFailuresAreReportedOrSkippedThenThePortCloses) {
  {
    SCOPED_TRACE("value cannot be set");
    Win9xMachine system;
    system.failingValueNames = {"DCB"};
    InstallWin9xFamily(system, comSettings(3, 5, 3, 2));
    const Lines lines = system.lines();
    const Lines tail(lines.end() - 4, lines.end());
    EXPECT_EQ(R"(RegSetValueExA(key#3, "DCB", 0, 3, )", tail[0].substr(0, 35));
    EXPECT_EQ(R"(MessageBoxA("\xb4\xed\xce\xf3\xa3\xba\xce\xde\xb7\xa8\xc9\xe8\xd6\xc3\xd3\xd0)"
              R"(\xb9\xd8\xb5\xc4\xd7\xa2\xb2\xe1\xb1\xed\xd0\xc5\xcf\xa2", 0x30) -> 1)",
              tail[1]);
    EXPECT_EQ("RegCloseKey(key#3) -> 0", tail[2]);
    EXPECT_EQ("CloseHandle(file#2) -> 1", tail[3]);
  }
  {
    SCOPED_TRACE("class key absent");
    Win9xMachine system;
    system.missingKeys = {R"(HKLM\System\CurrentControlSet\Services\Class\Ports\0000)"};
    InstallWin9xFamily(system, comSettings(3, 5, 3, 2));
    const Lines lines = system.lines();
    const Lines tail(lines.end() - 2, lines.end());
    EXPECT_EQ(
        R"(RegOpenKeyExA(HKLM, "System\CurrentControlSet\Services\Class\Ports\0000", 0, 0x2) -> 2)",
        tail[0]);
    EXPECT_EQ("CloseHandle(file#2) -> 1", tail[1]);
  }
}

TEST(InstallWin9xFamilyTest, ExistingPrinterDoesNotStopTheSerialStep) {
  Win9xMachine system;
  system.addPrinter("tpx-58");
  InstallSettings settings = comSettings(4, 5, 3, 2);
  settings.setDefault = true;
  InstallWin9xFamily(system, settings);
  const Lines functions = system.functions();
  // Only the handle that asked whether the printer exists is closed.
  EXPECT_EQ(1, std::count(functions.begin(), functions.end(), "OpenPrinterA"));
  EXPECT_EQ(1, std::count(functions.begin(), functions.end(), "ClosePrinter"));
  EXPECT_EQ(0, std::count(functions.begin(), functions.end(), "MessageBoxA"));
  EXPECT_TRUE(system.value(kCom2Key, "DCB"));
  EXPECT_TRUE(system.openHandles().empty());
}

}  // namespace
}  // namespace spoolrig
