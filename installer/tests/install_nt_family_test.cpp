// The NT-family installation procedure over the recording system layer: the
// exact calls it makes, and how it carries on when steps fail.

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

constexpr char kDir[] = R"(C:\WINDOWS\System32\spool\drivers\w32x86)";
constexpr char kMessage[] =
    R"(MessageBoxA("\xb4\xed\xce\xf3\xa3\xba\xce\xde\xb7\xa8\xc9\xe8\xd6\xc3\xd3\xd0)"
    R"(\xb9\xd8\xb5\xc4\xd7\xa2\xb2\xe1\xb1\xed\xd0\xc5\xcf\xa2", 0x30) -> 1)";

const char* const kSharedFiles[] = {"UNIDRV.DLL", "UNIDRVUI.DLL", "UNIRES.DLL",
                                    "UNIDRV.HLP", "TTFSUB.GPD",   "STDNAMES.GPD"};

// Every file of every model on the medium's win2k folder.
void putMediumInPlace(RecordingSystemLayer& system) {
  for (const ModelEntry& m : ModelCatalogue::models) {
    system.addFile(std::string("win2k\\") + m.driverDll);
    system.addFile(std::string("win2k\\") + m.gpdFile);
  }
  for (const char* f : kSharedFiles) system.addFile(std::string("win2k\\") + f);
}

InstallSettings serial(int port, int baud, int parity, int byteSize, int stop, int flow) {
  InstallSettings s;
  s.portIndex = port;
  s.baudIndex = baud;
  s.parityIndex = parity;
  s.byteSizeIndex = byteSize;
  s.stopBitsIndex = stop;
  s.flowIndex = flow;
  return s;
}

Lines linesOf(const RecordingSystemLayer& system, const std::string& function) {
  Lines out;
  for (const RecordedCall& call : system.calls()) {
    if (call.function == function) out.push_back(call.line);
  }
  return out;
}

TEST(InstallNtFamilyTest, ParallelPortWithoutDefaultMakesExactlyTheseCalls) {
  RecordingSystemLayer system;
  putMediumInPlace(system);
  InstallSettings settings;
  settings.modelIndex = 3;  // TPX-80C
  settings.portIndex = 1;   // LPT2:
  // Serial rows that must not be read for a parallel port.
  settings.baudIndex = 99;
  InstallNtFamily(system, settings);

  const std::string d = kDir;
  const Lines expected = {
      R"(GetPrinterDriverDirectoryA(null, "Windows NT x86", 1, buffer, 255) -> 1 ")" + d + "\"",
      R"(DeleteFileA(")" + d + R"(\TPX80.DLL") -> 0)",
      R"(DeleteFileA(")" + d + R"(\TPX80C.GPD") -> 0)",
      R"(CopyFileA("win2k\TPX80.DLL", ")" + d + R"(\TPX80.DLL", 0) -> 1)",
      R"(CopyFileA("win2k\TPX80C.GPD", ")" + d + R"(\TPX80C.GPD", 0) -> 1)",
      R"(CopyFileA("win2k\UNIDRV.DLL", ")" + d + R"(\UNIDRV.DLL", 0) -> 1)",
      R"(CopyFileA("win2k\UNIDRVUI.DLL", ")" + d + R"(\UNIDRVUI.DLL", 0) -> 1)",
      R"(CopyFileA("win2k\UNIRES.DLL", ")" + d + R"(\UNIRES.DLL", 0) -> 1)",
      R"(CopyFileA("win2k\UNIDRV.HLP", ")" + d + R"(\UNIDRV.HLP", 0) -> 1)",
      R"(CopyFileA("win2k\TTFSUB.GPD", ")" + d + R"(\TTFSUB.GPD", 0) -> 1)",
      R"(CopyFileA("win2k\STDNAMES.GPD", ")" + d + R"(\STDNAMES.GPD", 0) -> 1)",
      R"(AddPrinterDriverA(null, 3, {cVersion=3, pName="TPX-80C", pEnvironment="Windows NT x86", )"
      R"(pDriverPath="\uniDRV.DLL", pDataFile="\TPX80C.GPD", pConfigFile="\uniDRVui.DLL", )"
      R"(pHelpFile="\uniDRV.HLP", pDependentFiles="TPX80.DLL\0TTFSUB.GPD\0STDNAMES.GPD\0)"
      R"(uniDRVui.DLL\0uniDRV.DLL\0UNIRES.DLL\0\0", pMonitorName="", pDefaultDataType="RAW"}) -> 1)",
      R"(AddPrinterA(null, 2, {pServerName=null, pPrinterName="TPX-80C", pShareName=null, )"
      R"(pPortName="LPT2:", pDriverName="TPX-80C", pComment=null, pLocation=null, pDevMode=null, )"
      R"(pSepFile=null, pPrintProcessor="WinPrint", pDatatype="RAW", pParameters=null, )"
      R"(pSecurityDescriptor=null, Attributes=0, Priority=0, DefaultPriority=0, StartTime=0, )"
      R"(UntilTime=0, Status=0, cJobs=0, AveragePPM=0}) -> printer#1)",
      R"(DeleteFileA(")" + d + R"(\TPX80.DLL") -> 1)",
      R"(DeleteFileA(")" + d + R"(\TPX80C.GPD") -> 1)",
      R"(DeleteFileA(")" + d + R"(\UNIDRV.DLL") -> 1)",
      R"(DeleteFileA(")" + d + R"(\UNIDRVUI.DLL") -> 1)",
      R"(DeleteFileA(")" + d + R"(\UNIRES.DLL") -> 1)",
      R"(DeleteFileA(")" + d + R"(\UNIDRV.HLP") -> 1)",
      R"(DeleteFileA(")" + d + R"(\TTFSUB.GPD") -> 1)",
      R"(DeleteFileA(")" + d + R"(\STDNAMES.GPD") -> 1)",
      R"(ClosePrinter(printer#1) -> 1)",
  };
  EXPECT_EQ(expected, system.lines());
  EXPECT_TRUE(system.openHandles().empty());
}

TEST(InstallNtFamilyTest, ModelRowFourStagesTheSharedDllAndItsOwnGpd) {
  RecordingSystemLayer system;
  putMediumInPlace(system);
  InstallSettings settings;
  settings.modelIndex = 4;
  InstallNtFamily(system, settings);

  const Lines copies = linesOf(system, "CopyFileA");
  ASSERT_EQ(8u, copies.size());
  EXPECT_EQ(R"(CopyFileA("win2k\TPX80.DLL", ")" + std::string(kDir) + R"(\TPX80.DLL", 0) -> 1)",
            copies[0]);
  EXPECT_EQ(R"(CopyFileA("win2k\TPX90.GPD", ")" + std::string(kDir) + R"(\TPX90.GPD", 0) -> 1)",
            copies[1]);
  const RecordedCall& driver = system.calls()[11];
  ASSERT_TRUE(driver.driver.has_value());
  EXPECT_EQ("TPX-90", *driver.driver->pName);
  EXPECT_EQ("\\TPX90.GPD", *driver.driver->pDataFile);
  EXPECT_EQ(std::string("TPX80.DLL\0TTFSUB.GPD\0STDNAMES.GPD\0uniDRVui.DLL\0uniDRV.DLL\0"
                        "UNIRES.DLL\0\0", 70),
            *driver.driver->pDependentFiles);
  // The driver directory is only a staging area.
  EXPECT_FALSE(system.hasFile(std::string(kDir) + "\\TPX80.DLL"));
  EXPECT_FALSE(system.hasFile(std::string(kDir) + "\\UNIDRV.DLL"));
}

TEST(InstallNtFamilyTest, SerialSettingsTextInThePlatformsOrder) {
  struct Case {
    InstallSettings settings;
    const char* valueName;
    std::string text;  // with its NUL
  };
  const Case cases[] = {
      {serial(3, 5, 2, 3, 0, 2), "COM1:", std::string("19200,n,8,1,p\0", 14)},
      {serial(4, 4, 0, 2, 1, 1), "COM2:", std::string("9600,e,7,1.5,x\0", 15)},
      {serial(5, 8, 2, 3, 0, 0), "COM3:", std::string("115200,n,8,1, \0", 15)},
      {serial(6, 0, 3, 0, 2, 2), "COM4:", std::string("300,o,5,2,p\0", 12)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.valueName);
    RecordingSystemLayer system;
    putMediumInPlace(system);
    InstallNtFamily(system, c.settings);
    const Lines expected = {
        R"(RegOpenKeyExA(HKLM, "SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports", 0, 0x2))"
        " -> 0 key#2",
        "RegSetValueExA(key#2, \"" + std::string(c.valueName) + "\", 0, 1, " +
            renderText(c.text) + ", " + std::to_string(c.text.size()) + ") -> 0",
        "RegCloseKey(key#2) -> 0",
    };
    Lines registry = linesOf(system, "RegOpenKeyExA");
    for (const char* f : {"RegSetValueExA", "RegCloseKey"}) {
      for (const std::string& line : linesOf(system, f)) registry.push_back(line);
    }
    EXPECT_EQ(expected, registry);
    // Written after the printer was added and before the staged files go.
    const Lines functions = system.functions();
    const auto open = std::find(functions.begin(), functions.end(), "RegOpenKeyExA");
    EXPECT_EQ("AddPrinterA", *(open - 1));
    EXPECT_EQ("DeleteFileA", *(open + 3));
    EXPECT_TRUE(system.openHandles().empty());
  }
}

TEST(InstallNtFamilyTest, DefaultPrinterValueNamesModelSpoolerAndPort) {
  RecordingSystemLayer system;
  putMediumInPlace(system);
  InstallSettings settings = serial(5, 5, 2, 3, 0, 2);
  settings.setDefault = true;
  InstallNtFamily(system, settings);
  const auto device =
      system.value(R"(HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows)", "Device");
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(1u, device->type);
  const std::string text = "TPX-58,winspool,COM3:";
  EXPECT_EQ(std::vector<std::uint8_t>(text.c_str(), text.c_str() + text.size() + 1),
            device->data);
  // The default travels only through the registry on this family.
  EXPECT_EQ(0u, system.calls()[12].printer->Attributes);
  // Device first, then the port.
  EXPECT_EQ(R"(RegOpenKeyExA(HKCU, "Software\Microsoft\Windows NT\CurrentVersion\Windows", 0, 0x2))"
            " -> 0 key#2",
            linesOf(system, "RegOpenKeyExA")[0]);
}

TEST(InstallNtFamilyTest, SecondRunRepeatsEveryStepButTheRefusedPrinter) {
  RecordingSystemLayer system;
  putMediumInPlace(system);
  InstallSettings settings = serial(3, 5, 2, 3, 0, 2);
  settings.setDefault = true;
  InstallNtFamily(system, settings);
  const std::size_t firstRun = system.calls().size();
  InstallNtFamily(system, settings);

  const std::vector<RecordedCall> second(system.calls().begin() + firstRun,
                                         system.calls().end());
  Lines functions;
  for (const RecordedCall& c : second) functions.push_back(c.function);
  EXPECT_EQ(8, std::count(functions.begin(), functions.end(), "CopyFileA"));
  EXPECT_EQ(1, std::count(functions.begin(), functions.end(), "AddPrinterDriverA"));
  EXPECT_EQ(2, std::count(functions.begin(), functions.end(), "RegSetValueExA"));
  EXPECT_EQ(10, std::count(functions.begin(), functions.end(), "DeleteFileA"));
  EXPECT_EQ(0, std::count(functions.begin(), functions.end(), "MessageBoxA"));
  // The refused printer exists: asked for by name, and closed again.
  EXPECT_EQ(" -> null", second[12].line.substr(second[12].line.size() - 8));
  EXPECT_EQ(R"(OpenPrinterA("TPX-58", printer, null) -> 1 printer#4)", second[13].line);
  EXPECT_EQ("ClosePrinter(printer#4) -> 1", second[14].line);
  EXPECT_EQ(1, std::count(functions.begin(), functions.end(), "ClosePrinter"));
  EXPECT_TRUE(system.openHandles().empty());
}

TEST(InstallNtFamilyTest, MissingWin2kFolderStillRegistersAndWritesValues) {
  RecordingSystemLayer system;  // no medium at all
  system.addPrinter("TPX-58");  // so the printer exists all the same
  InstallSettings settings = serial(4, 5, 2, 3, 0, 2);
  settings.setDefault = true;
  InstallNtFamily(system, settings);
  for (const std::string& line : linesOf(system, "CopyFileA")) {
    EXPECT_EQ(" -> 0", line.substr(line.size() - 5)) << line;
  }
  EXPECT_EQ(1u, linesOf(system, "AddPrinterDriverA").size());
  EXPECT_EQ(1u, linesOf(system, "AddPrinterA").size());
  EXPECT_EQ(2u, linesOf(system, "RegSetValueExA").size());
  EXPECT_EQ(10u, linesOf(system, "DeleteFileA").size());
  EXPECT_TRUE(linesOf(system, "MessageBoxA").empty());
}

TEST(InstallNtFamilyTest, UnsettableValuesAreReportedAndTheRunGoesOn) {
  RecordingSystemLayer system;
  putMediumInPlace(system);
  system.failingValueNames = {"Device", "COM2:"};
  InstallSettings settings = serial(4, 5, 2, 3, 0, 2);
  settings.setDefault = true;
  InstallNtFamily(system, settings);

  const Lines lines = system.lines();
  const auto first = std::find(lines.begin(), lines.end(), std::string(kMessage));
  ASSERT_NE(lines.end(), first);
  EXPECT_EQ(R"(RegSetValueExA(key#2, "Device", 0, 1, "TPX-58,winspool,COM2:\0", 22) -> 5)",
            *(first - 1));
  EXPECT_EQ("RegCloseKey(key#2) -> 0", *(first + 1));
  const auto second = std::find(first + 1, lines.end(), std::string(kMessage));
  ASSERT_NE(lines.end(), second);
  EXPECT_EQ(R"(RegSetValueExA(key#3, "COM2:", 0, 1, "19200,n,8,1,p\0", 14) -> 5)",
            *(second - 1));
  EXPECT_EQ("RegCloseKey(key#3) -> 0", *(second + 1));
  EXPECT_EQ(lines.end(), std::find(second + 1, lines.end(), std::string(kMessage)))
      << "one message per failed value";
  // Two stale-copy deletes before staging, eight after.
  EXPECT_EQ(10u, linesOf(system, "DeleteFileA").size());
  EXPECT_EQ("ClosePrinter(printer#1) -> 1", lines.back());
  EXPECT_TRUE(system.openHandles().empty());
}

TEST(InstallNtFamilyTest, KeysThatCannotBeOpenedAreSkippedSilently) {
  RecordingSystemLayer system;
  putMediumInPlace(system);
  system.missingKeys = {R"(HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows)",
                        R"(HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports)"};
  InstallSettings settings = serial(6, 5, 2, 3, 0, 2);
  settings.setDefault = true;
  InstallNtFamily(system, settings);
  const Lines opens = linesOf(system, "RegOpenKeyExA");
  ASSERT_EQ(2u, opens.size());
  EXPECT_EQ(" -> 2", opens[1].substr(opens[1].size() - 5));
  EXPECT_TRUE(linesOf(system, "RegSetValueExA").empty());
  EXPECT_TRUE(linesOf(system, "RegCloseKey").empty());
  EXPECT_TRUE(linesOf(system, "MessageBoxA").empty());
  EXPECT_EQ("ClosePrinter", system.functions().back());
}

// When no printer of the model's name exists after the printer step, the
// user hears so once, after every other step; the NT family then leaves the
// default printer alone, and the serial settings are stored all the same.
TEST(InstallProceduresTest, APrinterThatDoesNotExistIsReportedAndNeverMadeDefault) {
  constexpr char kNotInstalled[] =
      R"(MessageBoxA("\xb4\xed\xce\xf3\xa3\xba\xce\xde\xb7\xa8\xb0\xb2\xd7\xb0\xb4\xf2)"
      R"(\xd3\xa1\xbb\xfa", 0x30) -> 1)";
  using Procedure = void (*)(SystemLayer&, InstallSettings);
  struct Case {
    const char* name;
    Procedure procedure;
    bool medium, driverAccepted;
    const char* serialKey;
    const char* serialValue;
  };
  const Case cases[] = {
      {"NT, no win2k folder", InstallNtFamily, false, true,
       R"(HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports)", "COM2:"},
      {"NT, driver refused", InstallNtFamily, true, false,
       R"(HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports)", "COM2:"},
      {"9x, driver refused", InstallWin9xFamily, true, false,
       R"(HKLM\System\CurrentControlSet\Services\Class\Ports\0001)", "DCB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSystemLayer system;
    if (c.medium) putMediumInPlace(system);
    for (const char* f : {"TPX58.DLL.drv", "iconlib.dll", "unidrv.dll", "unidrv.hlp"}) {
      system.addFile(f);
    }
    system.addPrinterDriverWorks = c.driverAccepted;
    InstallSettings settings = serial(4, 5, 2, 3, 0, 2);
    settings.setDefault = true;
    c.procedure(system, settings);

    EXPECT_FALSE(system.hasPrinter("TPX-58"));
    EXPECT_EQ(Lines{R"(OpenPrinterA("TPX-58", printer, null) -> 0)"},
              linesOf(system, "OpenPrinterA"));
    EXPECT_EQ(Lines{kNotInstalled}, linesOf(system, "MessageBoxA"));
    EXPECT_EQ(kNotInstalled, system.lines().back());
    EXPECT_FALSE(system.value(R"(HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows)",
                              "Device"));
    EXPECT_TRUE(system.value(c.serialKey, c.serialValue));
    EXPECT_TRUE(system.openHandles().empty());
  }
  // The NT family still removes what it staged.
  RecordingSystemLayer system;
  putMediumInPlace(system);
  system.addPrinterDriverWorks = false;
  InstallNtFamily(system, InstallSettings{});
  EXPECT_FALSE(system.hasFile(std::string(kDir) + "\\UNIDRV.DLL"));
  EXPECT_EQ(10u, linesOf(system, "DeleteFileA").size());
}

TEST(InstallProceduresTest, NoDriverDirectoryMeansNothingElseIsTouched) {
  using Procedure = void (*)(SystemLayer&, InstallSettings);
  const std::pair<const char*, Procedure> procedures[] = {{"NT", InstallNtFamily},
                                                          {"9x", InstallWin9xFamily}};
  for (const auto& [family, procedure] : procedures) {
    for (bool fails : {true, false}) {
      SCOPED_TRACE(testing::Message() << family << (fails ? " call fails" : " empty text"));
      RecordingSystemLayer system;
      putMediumInPlace(system);
      system.driverDirectoryWorks = !fails;
      system.driverDirectory = fails ? kDir : "";
      InstallSettings settings = serial(3, 5, 2, 3, 0, 2);
      settings.setDefault = true;
      procedure(system, settings);
      EXPECT_EQ(Lines{"GetPrinterDriverDirectoryA"}, system.functions());
    }
  }
}

TEST(InstallProceduresTest, SettingsOutsideTheCatalogueTouchNothing) {
  InstallSettings badModel;
  badModel.modelIndex = 7;
  InstallSettings badPort;
  badPort.portIndex = -1;
  InstallSettings badBaud = serial(3, 9, 2, 3, 0, 2);
  for (const InstallSettings& s : {badModel, badPort, badBaud}) {
    RecordingSystemLayer system;
    InstallNtFamily(system, s);
    InstallWin9xFamily(system, s);
    EXPECT_TRUE(system.calls().empty());
  }
  // Parity and stop bits are rows of both families.
  for (const InstallSettings& s : {serial(3, 5, 5, 3, 0, 2), serial(4, 5, 2, 3, 3, 2)}) {
    RecordingSystemLayer system;
    InstallNtFamily(system, s);
    InstallWin9xFamily(system, s);
    EXPECT_TRUE(system.calls().empty());
  }
  // The flow row is the NT family's only.
  RecordingSystemLayer system;
  InstallNtFamily(system, serial(3, 5, 2, 3, 0, 3));
  EXPECT_TRUE(system.calls().empty());
}

}  // namespace
}  // namespace spoolrig
