#include "recording/scripted_window_layer.h"

#include <algorithm>
#include <stdexcept>

#include "logic/template_list_items.h"
#include "resources/resource.h"

namespace spoolrig {
namespace {

using K = ControlKind;

ScriptedControl ctl(int id, ControlKind kind, const char* text = "", int group = 0) {
  ScriptedControl control;
  control.id = id;
  control.kind = kind;
  control.text = text;
  control.group = group;
  return control;
}

// The controls of each template in template order, as the resource script
// describes them. Radio buttons in one group share a group number.
std::vector<ScriptedControl> templateControls(int templateId) {
  switch (templateId) {
    case IDD_SELECT_OS:
      return {
          ctl(-1, K::GroupBox, "Select Install OS", 1),
          ctl(IDC_RADIO_WIN2000, K::RadioButton, "Windows 2000", 1),
          ctl(IDC_RADIO_WINXP, K::RadioButton, "Windows XP", 1),
          ctl(IDC_SELECT_NEXT, K::PushButton, "Next", 1),
          ctl(IDC_SELECT_CANCEL, K::PushButton, "Cancel", 1),
          ctl(IDC_RADIO_WIN2003, K::RadioButton, "Windows 2003", 1),
          ctl(IDC_RADIO_VISTA, K::RadioButton, "Windows Vista", 1),
          ctl(IDC_RADIO_WIN7, K::RadioButton, "Windows 7", 1),
          ctl(-1, K::Icon, "", 1),
      };
    case IDD_DETAIL_SETTING:
      return {
          ctl(IDC_MODEL_LIST, K::DropDownList),
          ctl(-1, K::GroupBox, "Printer Setting"),
          ctl(-1, K::GroupBox, "Printer Port Setting"),
          ctl(-1, K::Static, "Install Module:"),
          ctl(IDC_SET_DEFAULT, K::CheckBox, "Set Default Printer"),
          ctl(-1, K::Static, "Printer name:"),
          ctl(IDC_PRINTER_NAME, K::Edit),
          ctl(IDC_PORT_LIST, K::DropDownList),
          ctl(IDC_BAUD_LIST, K::DropDownList),
          ctl(IDC_BYTE_SIZE_LIST, K::DropDownList),
          ctl(IDC_FLOW_LIST, K::DropDownList),
          ctl(IDC_PARITY_LIST, K::DropDownList),
          ctl(IDC_STOP_BITS_LIST, K::DropDownList),
          ctl(-1, K::Static, "Ports:"),
          ctl(-1, K::Static, "BaudRate:"),
          ctl(-1, K::Static, "ByteSize:"),
          ctl(-1, K::Static, "StopBits:"),
          ctl(-1, K::Static, "Parity:"),
          ctl(-1, K::Static, "FlowControl"),
          ctl(IDC_DETAIL_BACK, K::PushButton, "Back"),
          ctl(IDC_DETAIL_OK, K::PushButton, "OK"),
          ctl(IDC_DETAIL_CANCEL, K::PushButton, "Cancel"),
      };
    case IDD_ABOUTBOX:
      return {
          ctl(-1, K::Icon),
          ctl(-1, K::Static, "Spoolrig V2.00"),
          ctl(idOk, K::PushButton, "\xC8\xB7\xB6\xA8"),  // "OK" in code page 936
      };
    default:
      throw std::logic_error("no such dialog template: " + std::to_string(templateId));
  }
}

bool isButton(ControlKind kind) {
  return kind == K::PushButton || kind == K::CheckBox || kind == K::RadioButton;
}

}  // namespace

ScriptedDialog::ScriptedDialog(int templateId, DialogHandler& handler, bool hasWindowMenu)
    : templateId_(templateId),
      handler_(handler),
      controls_(templateControls(templateId)),
      hasWindowMenu_(hasWindowMenu) {
  // The template's list items go in before the dialog's initialisation, in
  // template order, as the real dialog manager adds them.
  for (const TemplateList& list : templateListItems(templateId)) {
    ScriptedControl* control = find(list.controlId);
    if (!control) throw std::logic_error("list items for a missing control");
    control->items.assign(list.items.begin(), list.items.end());
  }
}

// --- The user's actions ---------------------------------------------------------

bool ScriptedDialog::click(int id) {
  ScriptedControl* button = find(id);
  if (!button || !button->enabled || !isButton(button->kind)) return false;
  if (button->kind == K::CheckBox) tick(*button, button->check == 1 ? 0 : 1);
  if (button->kind == K::RadioButton) tick(*button, 1);
  command(id, buttonClicked);
  return true;
}

bool ScriptedDialog::select(int id, int position) {
  ScriptedControl* list = find(id);
  if (!list || list->kind != K::DropDownList || !list->enabled) return false;
  if (position < 0 || position >= static_cast<int>(list->items.size())) return false;
  list->selection = position;
  command(id, comboSelectionChanged);
  return true;
}

void ScriptedDialog::pressEnter() { command(idOk, buttonClicked); }

void ScriptedDialog::pressEsc() { command(idCancel, buttonClicked); }

void ScriptedDialog::closeBox() { chooseWindowMenu(systemCommandClose); }

void ScriptedDialog::chooseWindowMenu(unsigned commandValue) {
  if (handler_.onSysCommand(*this, commandValue)) return;
  defaultSysCommands_.push_back(commandValue);
  // The default handling of "close" in a dialog is the IDCANCEL command.
  if ((commandValue & 0xFFF0u) == systemCommandClose) command(idCancel, buttonClicked);
}

bool ScriptedDialog::paint() { return handler_.onPaint(*this); }

IconHandle ScriptedDialog::queryDragIcon() { return handler_.onQueryDragIcon(*this); }

void ScriptedDialog::command(int id, int code) {
  if (ended()) throw std::logic_error("input to a dialog that has ended");
  handler_.onCommand(*this, id, code);
}

// --- What the dialog shows ----------------------------------------------------

const ScriptedControl& ScriptedDialog::controlById(int id) const {
  auto it = std::find_if(controls_.begin(), controls_.end(),
                         [id](const ScriptedControl& c) { return c.id == id; });
  if (it == controls_.end()) throw std::logic_error("no control " + std::to_string(id));
  return *it;
}

std::string ScriptedDialog::selectedText(int id) const {
  const ScriptedControl& list = controlById(id);
  if (list.selection < 0 || list.selection >= static_cast<int>(list.items.size())) return {};
  return list.items[static_cast<std::size_t>(list.selection)];
}

ScriptedControl* ScriptedDialog::find(int id) {
  if (id == -1) return nullptr;
  for (ScriptedControl& c : controls_) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

ScriptedControl& ScriptedDialog::at(ControlHandle handle) {
  for (ScriptedControl& c : controls_) {
    if (reinterpret_cast<std::uintptr_t>(&c) == handle.value) return c;
  }
  throw std::logic_error("message to a handle that is no control of this dialog");
}

void ScriptedDialog::tick(ScriptedControl& button, int state) {
  if (button.kind == K::RadioButton && state == 1) {
    for (ScriptedControl& c : controls_) {
      if (c.kind == K::RadioButton && c.group == button.group) c.check = 0;
    }
  }
  button.check = state;
}

// --- DialogWindow ---------------------------------------------------------------

void ScriptedDialog::endDialog(int code) {
  if (!endCode_) endCode_ = code;
}

ControlHandle ScriptedDialog::control(int id) {
  ScriptedControl* c = find(id);
  return ControlHandle{c ? reinterpret_cast<std::uintptr_t>(c) : 0};
}

void ScriptedDialog::setSelection(ControlHandle list, int position) {
  ScriptedControl& c = at(list);
  // As CB_SETCURSEL: a position outside the items clears the selection.
  c.selection = (position >= 0 && position < static_cast<int>(c.items.size())) ? position : -1;
}

int ScriptedDialog::selection(ControlHandle list) { return at(list).selection; }

std::string ScriptedDialog::itemText(ControlHandle list, int position) {
  const ScriptedControl& c = at(list);
  if (position < 0 || position >= static_cast<int>(c.items.size())) return {};
  return c.items[static_cast<std::size_t>(position)];
}

void ScriptedDialog::setCheck(ControlHandle button, int state) { tick(at(button), state); }

int ScriptedDialog::check(ControlHandle button) { return at(button).check; }

void ScriptedDialog::setItemText(int id, const std::string& newText) {
  if (ScriptedControl* c = find(id)) c->text = newText;
}

void ScriptedDialog::enable(ControlHandle control, bool isEnabled) {
  at(control).enabled = isEnabled;
}

void ScriptedDialog::appendWindowMenuSeparator() {
  if (hasWindowMenu_) windowMenu_.push_back({true, 0, {}});
}

void ScriptedDialog::appendWindowMenuItem(unsigned commandValue, const std::string& itemTextValue) {
  if (hasWindowMenu_) windowMenu_.push_back({false, commandValue, itemTextValue});
}

void ScriptedDialog::paintIcon(IconHandle icon, int x, int y) { painted_.push_back({icon, x, y}); }

// --- ScriptedWindowLayer --------------------------------------------------------

ScriptedWindowLayer::ScriptedWindowLayer() {
  // "About Spoolrig(&A)..." in code page 936, as LoadStringA hands it out on
  // a Chinese system.
  strings[IDS_ABOUTBOX] = "\xB9\xD8\xD3\xDA Spoolrig(&A)...";
}

IconHandle ScriptedWindowLayer::iconFor(int id) {
  return IconHandle{0x10000u + static_cast<std::uintptr_t>(id)};
}

void ScriptedWindowLayer::expect(int templateId, Script script) {
  if (!script) throw std::logic_error("expect() needs a script");
  scripts_.push_back({templateId, std::move(script)});
}

void ScriptedWindowLayer::expectNotCreated(int templateId) {
  scripts_.push_back({templateId, {}});
}

int ScriptedWindowLayer::runModal(int templateId, DialogHandler& handler) {
  if (scripts_.empty()) {
    throw std::logic_error("unexpected run of dialog " + std::to_string(templateId));
  }
  Expected next = std::move(scripts_.front());
  scripts_.pop_front();
  if (next.templateId != templateId) {
    throw std::logic_error("dialog " + std::to_string(templateId) + " ran where dialog " +
                           std::to_string(next.templateId) + " was expected");
  }
  // Runs are listed in the order they start, so an About box run from
  // Detail Setting comes after it.
  const std::size_t index = runs_.size();
  runs_.push_back({templateId, dialogNotCreated});
  if (!next.script) return dialogNotCreated;
  ScriptedDialog dialog(templateId, handler, windowMenus);
  handler.onInitDialog(dialog);
  if (!dialog.ended()) next.script(dialog);
  if (!dialog.ended()) {
    throw std::logic_error("the script left dialog " + std::to_string(templateId) + " open");
  }
  runs_[index].result = dialog.endCode();
  return dialog.endCode();
}

std::string ScriptedWindowLayer::loadString(int id) {
  auto it = strings.find(id);
  return it == strings.end() ? std::string{} : it->second;
}

}  // namespace spoolrig
