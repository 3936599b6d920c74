// The Select OS dialog: which radio button the detected version ticks, and
// how its buttons and keys end it.

#include <gtest/gtest.h>

#include "logic/select_os_dialog.h"
#include "recording/recording_system_layer.h"
#include "recording/scripted_window_layer.h"
#include "resources/resource.h"

namespace spoolrig {
namespace {

constexpr int kRadios[] = {IDC_RADIO_WIN2000, IDC_RADIO_WINXP, IDC_RADIO_WIN2003,
                           IDC_RADIO_VISTA, IDC_RADIO_WIN7};

class SelectOsDialogTest : public testing::Test {
 protected:
  void SetUp() override { g_osKind = OsKind::OsUnclassified; }
  void TearDown() override { g_osKind = OsKind::OsUnclassified; }

  void reportVersion(std::uint32_t platform, std::uint32_t major, std::uint32_t minor) {
    system.version.dwPlatformId = platform;
    system.version.dwMajorVersion = major;
    system.version.dwMinorVersion = minor;
  }

  // Runs the dialog once; `script` plays the user and must end it.
  int run(ScriptedWindowLayer::Script script) {
    ui.expect(IDD_SELECT_OS, std::move(script));
    return ui.runModal(IDD_SELECT_OS, dialog);
  }

  RecordingSystemLayer system;
  ScriptedWindowLayer ui;
  SelectOsDialog dialog{system};
};

TEST_F(SelectOsDialogTest, TicksExactlyTheRadioOfTheDetectedVersion) {
  struct Case {
    std::uint32_t platform, major, minor;
    int radio;  // 0: none ticked
  };
  const Case cases[] = {
      {2, 6, 1, IDC_RADIO_WIN7},    {2, 6, 0, IDC_RADIO_VISTA},  {2, 5, 2, IDC_RADIO_WIN2003},
      {2, 5, 1, IDC_RADIO_WINXP},   {2, 5, 0, IDC_RADIO_WIN2000}, {0, 4, 0, IDC_RADIO_WIN2000},
      {3, 1, 0, IDC_RADIO_WIN2000}, {2, 4, 0, 0},                {2, 3, 51, 0},
      {1, 4, 0, 0},                 {1, 4, 10, 0},               {1, 4, 90, 0},
      {2, 6, 2, 0},                 {2, 10, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "platform " << c.platform << ", " << c.major << "."
                                    << c.minor);
    g_osKind = OsKind::OsUnclassified;
    reportVersion(c.platform, c.major, c.minor);
    run([&](ScriptedDialog& d) {
      for (int radio : kRadios) {
        EXPECT_EQ(d.checked(radio), radio == c.radio) << "radio " << radio;
      }
      d.click(IDC_SELECT_NEXT);
    });
  }
}

TEST_F(SelectOsDialogTest, ClassifiesAfreshEachTimeItOpens) {
  reportVersion(2, 5, 1);
  run([](ScriptedDialog& d) { d.click(IDC_SELECT_NEXT); });
  EXPECT_EQ(g_osKind, OsKind::OsWinXP);

  reportVersion(2, 6, 0);
  run([](ScriptedDialog& d) {
    EXPECT_TRUE(d.checked(IDC_RADIO_VISTA));
    EXPECT_FALSE(d.checked(IDC_RADIO_WINXP));
    d.click(IDC_SELECT_NEXT);
  });
  EXPECT_EQ(g_osKind, OsKind::OsWinVista);
}

TEST_F(SelectOsDialogTest, UsersTickNeitherReadNorChangesTheDetectedKind) {
  reportVersion(1, 4, 10);
  run([](ScriptedDialog& d) {
    d.click(IDC_RADIO_WIN7);
    EXPECT_TRUE(d.checked(IDC_RADIO_WIN7));
    d.click(IDC_RADIO_WINXP);
    EXPECT_FALSE(d.checked(IDC_RADIO_WIN7)) << "radios of one group clear each other";
    EXPECT_FALSE(d.ended());
    d.click(IDC_SELECT_NEXT);
  });
  EXPECT_EQ(g_osKind, OsKind::OsWin98Me);
}

TEST_F(SelectOsDialogTest, NextAndEnterEndWithOkCancelEscAndCloseBoxWithCancel) {
  struct Case {
    const char* action;
    void (*act)(ScriptedDialog&);
    int code;
  };
  const Case cases[] = {
      {"Next", [](ScriptedDialog& d) { d.click(IDC_SELECT_NEXT); }, idOk},
      {"Enter", [](ScriptedDialog& d) { d.pressEnter(); }, idOk},
      {"Cancel", [](ScriptedDialog& d) { d.click(IDC_SELECT_CANCEL); }, idCancel},
      {"Esc", [](ScriptedDialog& d) { d.pressEsc(); }, idCancel},
      {"close box", [](ScriptedDialog& d) { d.closeBox(); }, idCancel},
  };
  reportVersion(2, 6, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    EXPECT_EQ(run([&](ScriptedDialog& d) { c.act(d); }), c.code);
  }
}

}  // namespace
}  // namespace spoolrig
