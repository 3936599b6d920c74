// The Detail Setting dialog over the scripted window layer and the
// recording system layer: its defaults, how the lists react to the user,
// which installation procedure OK runs with which settings, how it ends,
// the About entry and minimised painting.

#include <gtest/gtest.h>

#include <string>

#include "logic/catalogue.h"
#include "logic/detail_setting_dialog.h"
#include "logic/os_kind.h"
#include "recording/recording_system_layer.h"
#include "recording/scripted_window_layer.h"
#include "resources/resource.h"

namespace spoolrig {
namespace {

constexpr int kSerialLists[] = {IDC_BAUD_LIST, IDC_BYTE_SIZE_LIST, IDC_STOP_BITS_LIST,
                                IDC_PARITY_LIST, IDC_FLOW_LIST};

class DetailSettingDialogTest : public testing::Test {
 protected:
  void SetUp() override { g_osKind = OsKind::OsWinXP; }
  void TearDown() override { g_osKind = OsKind::OsUnclassified; }

  // Runs a fresh dialog once; `script` plays the user and must end it.
  int run(ScriptedWindowLayer::Script script) {
    DetailSettingDialog dialog(ui, system);
    ui.expect(IDD_DETAIL_SETTING, std::move(script));
    return ui.runModal(IDD_DETAIL_SETTING, dialog);
  }

  // The first argument of the GetPrinterDriverDirectoryA call tells the
  // procedures apart: the NT family names its environment, 9x names none.
  std::string procedureThatRan() const {
    for (const RecordedCall& call : system.calls()) {
      if (call.function != "GetPrinterDriverDirectoryA") continue;
      return call.line.find("\"Windows NT x86\"") != std::string::npos ? "NT" : "9x";
    }
    return "none";
  }

  const RecordedPrinterInfo2* addedPrinter() const {
    for (const RecordedCall& call : system.calls()) {
      if (call.printer) return &*call.printer;
    }
    return nullptr;
  }

  RecordingSystemLayer system;
  ScriptedWindowLayer ui;
};

TEST_F(DetailSettingDialogTest, OpensWithTheTemplateListsAndEveryDefault) {
  run([](ScriptedDialog& d) {
    struct Default {
      int list;
      std::size_t items;
      const char* selected;
    };
    const Default defaults[] = {
        {IDC_MODEL_LIST, 7, "TPX-58     Series"}, {IDC_PORT_LIST, 7, "LPT1"},
        {IDC_BAUD_LIST, 9, "19200"},              {IDC_BYTE_SIZE_LIST, 4, "8"},
        {IDC_STOP_BITS_LIST, 3, "1"},             {IDC_PARITY_LIST, 5, "None"},
        {IDC_FLOW_LIST, 3, "Hardware"},
    };
    for (const Default& def : defaults) {
      SCOPED_TRACE(testing::Message() << "list " << def.list);
      EXPECT_EQ(d.controlById(def.list).items.size(), def.items);
      EXPECT_EQ(d.selectedText(def.list), def.selected);
    }
    EXPECT_EQ(d.text(IDC_PRINTER_NAME), "TPX-58     Series");
    EXPECT_TRUE(d.checked(IDC_SET_DEFAULT));
    EXPECT_TRUE(d.enabled(IDC_PORT_LIST));
    for (int list : kSerialLists) EXPECT_FALSE(d.enabled(list)) << "list " << list;

    const IconHandle appIcon = ScriptedWindowLayer::iconFor(IDR_MAINFRAME);
    EXPECT_EQ(d.largeIcon(), appIcon);
    EXPECT_EQ(d.smallIcon(), appIcon);
    ASSERT_EQ(d.windowMenu().size(), 2u);
    EXPECT_TRUE(d.windowMenu()[0].separator);
    EXPECT_EQ(d.windowMenu()[1].command, 0x0010u);
    EXPECT_EQ(d.windowMenu()[1].text, "\xB9\xD8\xD3\xDA Spoolrig(&A)...");
    d.click(IDC_DETAIL_CANCEL);
  });
}

TEST_F(DetailSettingDialogTest, AddsNoAboutEntryWithoutWindowMenuOrText) {
  for (bool menus : {false, true}) {
    SCOPED_TRACE(menus ? "empty string 101" : "no window menu");
    ui.windowMenus = menus;
    ui.strings.clear();
    if (!menus) ui.strings[IDS_ABOUTBOX] = "About";
    run([](ScriptedDialog& d) {
      EXPECT_TRUE(d.windowMenu().empty());
      EXPECT_EQ(d.selectedText(IDC_PORT_LIST), "LPT1") << "the rest still initialised";
      d.click(IDC_DETAIL_CANCEL);
    });
  }
}

TEST_F(DetailSettingDialogTest, SerialListsAreEnabledExactlyForComPorts) {
  run([](ScriptedDialog& d) {
    for (int port = 0; port < 7; ++port) {
      SCOPED_TRACE(testing::Message() << "port " << port);
      ASSERT_TRUE(d.select(IDC_PORT_LIST, port));
      for (int list : kSerialLists) EXPECT_EQ(d.enabled(list), port >= 3) << "list " << list;
    }
    d.click(IDC_DETAIL_CANCEL);
  });
}

TEST_F(DetailSettingDialogTest, SerialChoicesSurviveASwitchToLptAndBack) {
  run([](ScriptedDialog& d) {
    EXPECT_FALSE(d.select(IDC_BAUD_LIST, 4)) << "a disabled list cannot be changed";
    ASSERT_TRUE(d.select(IDC_PORT_LIST, 3));
    ASSERT_TRUE(d.select(IDC_BAUD_LIST, 4));
    ASSERT_TRUE(d.select(IDC_PARITY_LIST, 3));
    ASSERT_TRUE(d.select(IDC_PORT_LIST, 2));
    EXPECT_FALSE(d.enabled(IDC_BAUD_LIST));
    EXPECT_EQ(d.selectedText(IDC_BAUD_LIST), "9600");
    ASSERT_TRUE(d.select(IDC_PORT_LIST, 6));
    EXPECT_TRUE(d.enabled(IDC_BAUD_LIST));
    EXPECT_EQ(d.selectedText(IDC_BAUD_LIST), "9600");
    EXPECT_EQ(d.selectedText(IDC_PARITY_LIST), "Odd");
    d.click(IDC_DETAIL_CANCEL);
  });
}

TEST_F(DetailSettingDialogTest, PrinterNameBoxShowsTheModelsListTextWithItsBlanks) {
  run([](ScriptedDialog& d) {
    for (int model = 6; model >= 0; --model) {
      SCOPED_TRACE(testing::Message() << "model " << model);
      ASSERT_TRUE(d.select(IDC_MODEL_LIST, model));
      EXPECT_EQ(d.text(IDC_PRINTER_NAME),
                ModelCatalogue::models[static_cast<std::size_t>(model)].listText);
    }
    d.select(IDC_MODEL_LIST, 6);
    EXPECT_EQ(d.text(IDC_PRINTER_NAME), "TPX-76C    Series");
    d.click(IDC_DETAIL_CANCEL);
  });
}

TEST_F(DetailSettingDialogTest, OkRunsTheProcedureOfTheDetectedFamilyThenEnds) {
  struct Case {
    OsKind kind;
    const char* procedure;
  };
  const Case cases[] = {
      {OsKind::OsUnclassified, "none"}, {OsKind::OsWin95, "9x"},  {OsKind::OsWin98Me, "9x"},
      {OsKind::OsWinNT4, "NT"},         {OsKind::OsWin2000, "NT"}, {OsKind::OsWin7, "NT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "OsKind " << static_cast<int>(c.kind));
    system = RecordingSystemLayer();
    g_osKind = c.kind;
    EXPECT_EQ(run([](ScriptedDialog& d) {
                d.select(IDC_MODEL_LIST, 6);
                d.click(IDC_DETAIL_OK);
              }),
              idOk);
    EXPECT_EQ(procedureThatRan(), c.procedure);
    if (c.kind == OsKind::OsUnclassified) {
      EXPECT_TRUE(system.calls().empty());
    } else {
      ASSERT_NE(addedPrinter(), nullptr);
      EXPECT_EQ(addedPrinter()->pPrinterName, "TPX-76C") << "named by modelName, not list text";
    }
  }
}

TEST_F(DetailSettingDialogTest, OkHandsOverEveryChoiceOfTheDialog) {
  // Stop bits and parity sit in the dialog in the other order than in the
  // settings text; a mix-up shows in the Ports value.
  g_osKind = OsKind::OsWin7;
  run([](ScriptedDialog& d) {
    d.select(IDC_MODEL_LIST, 4);
    d.click(IDC_SET_DEFAULT);
    d.select(IDC_PORT_LIST, 5);
    d.select(IDC_BAUD_LIST, 4);
    d.select(IDC_BYTE_SIZE_LIST, 2);
    d.select(IDC_STOP_BITS_LIST, 1);
    d.select(IDC_PARITY_LIST, 3);
    d.select(IDC_FLOW_LIST, 1);
    d.click(IDC_DETAIL_OK);
  });
  ASSERT_NE(addedPrinter(), nullptr);
  EXPECT_EQ(addedPrinter()->pPrinterName, "TPX-90");
  EXPECT_EQ(addedPrinter()->pPortName, "COM3:");
  const auto ports =
      system.value("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", "COM3:");
  ASSERT_TRUE(ports.has_value());
  const std::string text(ports->data.begin(), ports->data.end());
  EXPECT_EQ(text, std::string("9600,o,7,1.5,x") + '\0');
  EXPECT_FALSE(
      system.value("HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", "Device"))
      << "the default box was cleared";
}

TEST_F(DetailSettingDialogTest, SetDefaultTickReachesThe9xPrinterRecord) {
  for (bool untick : {false, true}) {
    SCOPED_TRACE(untick ? "cleared" : "ticked");
    system = RecordingSystemLayer();
    g_osKind = OsKind::OsWin98Me;
    run([&](ScriptedDialog& d) {
      if (untick) d.click(IDC_SET_DEFAULT);
      d.click(IDC_DETAIL_OK);
    });
    ASSERT_NE(addedPrinter(), nullptr);
    EXPECT_EQ(addedPrinter()->Attributes, untick ? 0u : 4u);
  }
}

TEST_F(DetailSettingDialogTest, OnlyTheOkButtonInstalls) {
  struct Case {
    const char* action;
    void (*act)(ScriptedDialog&);
    int code;
  };
  const Case cases[] = {
      {"Back", [](ScriptedDialog& d) { d.click(IDC_DETAIL_BACK); }, idCancel},
      {"Cancel", [](ScriptedDialog& d) { d.click(IDC_DETAIL_CANCEL); }, idOk},
      {"Esc", [](ScriptedDialog& d) { d.pressEsc(); }, idOk},
      {"close box", [](ScriptedDialog& d) { d.closeBox(); }, idOk},
      {"Enter", [](ScriptedDialog& d) { d.pressEnter(); }, idOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    EXPECT_EQ(run([&](ScriptedDialog& d) {
                d.select(IDC_PORT_LIST, 3);
                c.act(d);
              }),
              c.code);
    EXPECT_TRUE(system.calls().empty());
  }
}

TEST_F(DetailSettingDialogTest, AboutEntryMatchesWithTheLowFourBitsCleared) {
  struct Case {
    unsigned command;
    bool about;
  };
  const Case cases[] = {{0x0010, true},  {0x0013, true},  {0x001F, true},
                        {0x0020, false}, {0x0000, false}, {0xF010, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << c.command);
    DetailSettingDialog dialog(ui, system);
    ui.expect(IDD_DETAIL_SETTING, [&](ScriptedDialog& d) {
      d.select(IDC_PORT_LIST, 4);
      d.chooseWindowMenu(c.command);
      EXPECT_EQ(d.defaultSysCommands().empty(), c.about);
      EXPECT_FALSE(d.ended());
      EXPECT_EQ(d.selectedText(IDC_PORT_LIST), "COM2") << "unchanged by the About box";
      EXPECT_TRUE(d.enabled(IDC_BAUD_LIST));
      d.click(IDC_DETAIL_CANCEL);
    });
    if (c.about) ui.expect(IDD_ABOUTBOX, [](ScriptedDialog& about) { about.pressEsc(); });
    ui.runModal(IDD_DETAIL_SETTING, dialog);
    EXPECT_EQ(ui.runs().back().templateId, c.about ? IDD_ABOUTBOX : IDD_DETAIL_SETTING);
  }
  EXPECT_EQ(ui.pendingScripts(), 0u);
}

TEST_F(DetailSettingDialogTest, PaintsTheIconCentredOnlyWhileMinimised) {
  run([](ScriptedDialog& d) {
    EXPECT_FALSE(d.paint()) << "left to the window system";
    EXPECT_TRUE(d.paintedIcons().empty());

    d.setIconic(true);
    d.setClientSize({101, 50});
    EXPECT_TRUE(d.paint());
    d.setClientSize({0, 0});  // the offsets truncate toward zero
    d.paint();
    ASSERT_EQ(d.paintedIcons().size(), 2u);
    EXPECT_EQ(d.paintedIcons()[0].icon, ScriptedWindowLayer::iconFor(IDR_MAINFRAME));
    EXPECT_EQ(d.paintedIcons()[0].x, 35);
    EXPECT_EQ(d.paintedIcons()[0].y, 9);
    EXPECT_EQ(d.paintedIcons()[1].x, -15);
    EXPECT_EQ(d.paintedIcons()[1].y, -15);
    EXPECT_EQ(d.queryDragIcon(), ScriptedWindowLayer::iconFor(IDR_MAINFRAME));
    d.click(IDC_DETAIL_CANCEL);
  });
}

}  // namespace
}  // namespace spoolrig
