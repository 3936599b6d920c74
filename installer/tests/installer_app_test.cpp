// The start-up sequence: which dialogs run in which order for each way the
// user ends them, and that every pass starts afresh.

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "logic/installer_app.h"
#include "logic/os_kind.h"
#include "recording/recording_system_layer.h"
#include "recording/scripted_window_layer.h"
#include "resources/resource.h"

namespace spoolrig {
namespace {

using Runs = std::vector<std::pair<int, int>>;  // template, end code

class InstallerAppTest : public testing::Test {
 protected:
  void SetUp() override {
    g_osKind = OsKind::OsUnclassified;
    reportVersion(2, 6, 1);  // Windows 7
  }
  void TearDown() override { g_osKind = OsKind::OsUnclassified; }

  void reportVersion(std::uint32_t platform, std::uint32_t major, std::uint32_t minor) {
    system.version.dwPlatformId = platform;
    system.version.dwMajorVersion = major;
    system.version.dwMinorVersion = minor;
  }

  Runs startUp() {
    InstallerApp app(ui, system);
    EXPECT_FALSE(app.startUp());
    EXPECT_EQ(ui.pendingScripts(), 0u) << "a scripted dialog never ran";
    Runs runs;
    for (const auto& run : ui.runs()) runs.emplace_back(run.templateId, run.result);
    return runs;
  }

  bool installed() const {
    for (const RecordedCall& call : system.calls()) {
      if (call.function == "AddPrinterA") return true;
    }
    return false;
  }

  RecordingSystemLayer system;
  ScriptedWindowLayer ui;
};

TEST_F(InstallerAppTest, EndingSelectOsEndsTheProgramWithoutDetailSetting) {
  const std::pair<const char*, void (*)(ScriptedDialog&)> ways[] = {
      {"Cancel", [](ScriptedDialog& d) { d.click(IDC_SELECT_CANCEL); }},
      {"Esc", [](ScriptedDialog& d) { d.pressEsc(); }},
      {"close box", [](ScriptedDialog& d) { d.closeBox(); }},
  };
  for (const auto& [name, act] : ways) {
    SCOPED_TRACE(name);
    ui = ScriptedWindowLayer();
    ui.expect(IDD_SELECT_OS, act);
    EXPECT_EQ(startUp(), (Runs{{IDD_SELECT_OS, idCancel}}));
    EXPECT_TRUE(ui.controlContainerEnabled());
    EXPECT_TRUE(ui.threeDControlsEnabled());
  }
}

TEST_F(InstallerAppTest, ADialogThatCannotBeCreatedEndsTheProgram) {
  ui.expectNotCreated(IDD_SELECT_OS);
  EXPECT_EQ(startUp(), (Runs{{IDD_SELECT_OS, dialogNotCreated}}));

  ui = ScriptedWindowLayer();
  ui.expect(IDD_SELECT_OS, [](ScriptedDialog& d) { d.click(IDC_SELECT_NEXT); });
  ui.expectNotCreated(IDD_DETAIL_SETTING);
  EXPECT_EQ(startUp(),
            (Runs{{IDD_SELECT_OS, idOk}, {IDD_DETAIL_SETTING, dialogNotCreated}}));
}

TEST_F(InstallerAppTest, BackThenNextStartsBothDialogsAfresh) {
  ui.expect(IDD_SELECT_OS, [](ScriptedDialog& d) {
    EXPECT_TRUE(d.checked(IDC_RADIO_WIN7));
    d.click(IDC_RADIO_WIN2000);
    d.click(IDC_SELECT_NEXT);
  });
  ui.expect(IDD_DETAIL_SETTING, [this](ScriptedDialog& d) {
    d.select(IDC_MODEL_LIST, 3);
    d.click(IDC_SET_DEFAULT);
    d.select(IDC_PORT_LIST, 4);
    d.select(IDC_BAUD_LIST, 0);
    // The next classification sees another version: the tick must follow.
    reportVersion(2, 5, 1);
    d.click(IDC_DETAIL_BACK);
  });
  ui.expect(IDD_SELECT_OS, [](ScriptedDialog& d) {
    EXPECT_TRUE(d.checked(IDC_RADIO_WINXP));
    EXPECT_FALSE(d.checked(IDC_RADIO_WIN2000)) << "the user's tick is not carried over";
    EXPECT_FALSE(d.checked(IDC_RADIO_WIN7));
    d.pressEnter();
  });
  ui.expect(IDD_DETAIL_SETTING, [](ScriptedDialog& d) {
    EXPECT_EQ(d.selectedText(IDC_MODEL_LIST), "TPX-58     Series");
    EXPECT_EQ(d.text(IDC_PRINTER_NAME), "TPX-58     Series");
    EXPECT_TRUE(d.checked(IDC_SET_DEFAULT));
    EXPECT_EQ(d.selectedText(IDC_PORT_LIST), "LPT1");
    EXPECT_EQ(d.selectedText(IDC_BAUD_LIST), "19200");
    EXPECT_FALSE(d.enabled(IDC_BAUD_LIST));
    d.click(IDC_DETAIL_CANCEL);
  });
  EXPECT_EQ(startUp(), (Runs{{IDD_SELECT_OS, idOk},
                             {IDD_DETAIL_SETTING, idCancel},
                             {IDD_SELECT_OS, idOk},
                             {IDD_DETAIL_SETTING, idOk}}));
  EXPECT_EQ(g_osKind, OsKind::OsWinXP);
  EXPECT_FALSE(installed());
}

TEST_F(InstallerAppTest, OkInstallsOnceForTheDetectedFamilyAndEnds) {
  reportVersion(1, 4, 10);  // Windows 98: no radio, the 9x procedure
  ui.expect(IDD_SELECT_OS, [](ScriptedDialog& d) {
    d.click(IDC_RADIO_WIN7);  // never read
    d.click(IDC_SELECT_NEXT);
  });
  ui.expect(IDD_DETAIL_SETTING, [](ScriptedDialog& d) { d.click(IDC_DETAIL_OK); });
  EXPECT_EQ(startUp(), (Runs{{IDD_SELECT_OS, idOk}, {IDD_DETAIL_SETTING, idOk}}));
  int drivers = 0;
  for (const RecordedCall& call : system.calls()) {
    if (!call.driver) continue;
    ++drivers;
    EXPECT_EQ(call.driver->pEnvironment, "Windows 4.0");
  }
  EXPECT_EQ(drivers, 1);
  EXPECT_TRUE(installed());
}

TEST_F(InstallerAppTest, UnclassifiedVersionInstallsNothingAndEnds) {
  reportVersion(2, 6, 2);  // newer than any rule
  ui.expect(IDD_SELECT_OS, [](ScriptedDialog& d) { d.click(IDC_SELECT_NEXT); });
  ui.expect(IDD_DETAIL_SETTING, [](ScriptedDialog& d) { d.click(IDC_DETAIL_OK); });
  EXPECT_EQ(startUp(), (Runs{{IDD_SELECT_OS, idOk}, {IDD_DETAIL_SETTING, idOk}}));
  EXPECT_FALSE(installed());
  EXPECT_EQ(system.functions(), (std::vector<std::string>{"GetVersionExA"}));
}

}  // namespace
}  // namespace spoolrig
