#include "logic/detail_setting_dialog.h"

#include "logic/about_dialog.h"
#include "logic/catalogue.h"
#include "logic/install_procedures.h"
#include "logic/os_kind.h"
#include "resources/resource.h"

namespace spoolrig {
namespace {

// Initial selections of the port and serial lists.
constexpr int defaultPort = 0;       // LPT1
constexpr int defaultBaud = 5;       // 19200
constexpr int defaultByteSize = 3;   // 8
constexpr int defaultStopBits = 0;   // 1
constexpr int defaultParity = 2;     // None
constexpr int defaultFlow = 2;       // Hardware

}  // namespace

DetailSettingDialog::DetailSettingDialog(WindowLayer& ui, SystemLayer& system)
    : ui_(ui), system_(system), icon_(ui.loadIcon(IDR_MAINFRAME)) {}

bool DetailSettingDialog::onInitDialog(DialogWindow& window) {
  // The About entry goes in only when there is a menu to put it in and a
  // text to show; the dialog works the same without it.
  if (window.hasWindowMenu()) {
    const std::string aboutText = ui_.loadString(IDS_ABOUTBOX);
    if (!aboutText.empty()) {
      window.appendWindowMenuSeparator();
      window.appendWindowMenuItem(IDM_ABOUTBOX, aboutText);
    }
  }
  window.setLargeIcon(icon_);
  window.setSmallIcon(icon_);

  modelList_ = window.control(IDC_MODEL_LIST);
  portList_ = window.control(IDC_PORT_LIST);
  baudList_ = window.control(IDC_BAUD_LIST);
  byteSizeList_ = window.control(IDC_BYTE_SIZE_LIST);
  stopBitsList_ = window.control(IDC_STOP_BITS_LIST);
  parityList_ = window.control(IDC_PARITY_LIST);
  flowList_ = window.control(IDC_FLOW_LIST);

  window.setSelection(modelList_, 0);
  showSelectedModel(window);
  window.setCheck(window.control(IDC_SET_DEFAULT), 1);

  window.setSelection(portList_, defaultPort);
  window.setSelection(baudList_, defaultBaud);
  window.setSelection(byteSizeList_, defaultByteSize);
  window.setSelection(stopBitsList_, defaultStopBits);
  window.setSelection(parityList_, defaultParity);
  window.setSelection(flowList_, defaultFlow);
  enableSerialLists(window, false);
  return true;
}

void DetailSettingDialog::onCommand(DialogWindow& window, int id, int code) {
  if (code == comboSelectionChanged) {
    if (id == IDC_MODEL_LIST) {
      showSelectedModel(window);
    } else if (id == IDC_PORT_LIST) {
      enableSerialLists(window, ModelCatalogue::isSerialPort(window.selection(portList_)));
    }
    return;
  }
  if (code != buttonClicked) return;
  switch (id) {
    case IDC_DETAIL_BACK:
      window.endDialog(idCancel);
      break;
    case IDC_DETAIL_OK:
      install(window);
      window.endDialog(idOk);
      break;
    // Cancel, Esc and the close box finish the program, and so does Enter
    // (idOk), which must not install: only the OK button does that.
    case IDC_DETAIL_CANCEL:
    case idCancel:
    case idOk:
      window.endDialog(idOk);
      break;
    default:
      break;
  }
}

bool DetailSettingDialog::onSysCommand(DialogWindow&, unsigned command) {
  if ((command & 0xFFF0u) != IDM_ABOUTBOX) return false;
  AboutDialog about;
  ui_.runModal(IDD_ABOUTBOX, about);
  return true;
}

int DetailSettingDialog::centredIconOffset(int clientExtent, int iconExtent) {
  return (clientExtent - iconExtent + 1) / 2;
}

bool DetailSettingDialog::onPaint(DialogWindow& window) {
  if (!window.isIconic()) return false;
  const Size client = window.clientSize();
  const Size icon = window.systemIconSize();
  window.paintIcon(icon_, centredIconOffset(client.width, icon.width),
                   centredIconOffset(client.height, icon.height));
  return true;
}

IconHandle DetailSettingDialog::onQueryDragIcon(DialogWindow&) { return icon_; }

void DetailSettingDialog::showSelectedModel(DialogWindow& window) {
  window.setItemText(IDC_PRINTER_NAME, window.itemText(modelList_, window.selection(modelList_)));
}

void DetailSettingDialog::enableSerialLists(DialogWindow& window, bool enabled) {
  for (ControlHandle list : {baudList_, byteSizeList_, stopBitsList_, parityList_, flowList_}) {
    window.enable(list, enabled);
  }
}

InstallSettings DetailSettingDialog::gatherSettings(DialogWindow& window) {
  InstallSettings settings;
  settings.modelIndex = window.selection(modelList_);
  settings.setDefault = window.check(window.control(IDC_SET_DEFAULT)) == 1;
  settings.portIndex = window.selection(portList_);
  settings.baudIndex = window.selection(baudList_);
  settings.byteSizeIndex = window.selection(byteSizeList_);
  settings.stopBitsIndex = window.selection(stopBitsList_);
  settings.parityIndex = window.selection(parityList_);
  settings.flowIndex = window.selection(flowList_);
  return settings;
}

void DetailSettingDialog::install(DialogWindow& window) {
  const InstallSettings settings = gatherSettings(window);
  if (isWin9xFamily(g_osKind)) {
    InstallWin9xFamily(system_, settings);
  } else if (isNtFamily(g_osKind)) {
    InstallNtFamily(system_, settings);
  }
}

}  // namespace spoolrig
