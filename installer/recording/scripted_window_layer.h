// A window layer for native tests. It keeps the state of every control of
// the three dialog templates (items, selections, ticks, enabled flags,
// texts, radio groups) and lets a test act as the user does: click buttons,
// pick list items (the dialog then gets CBN_SELCHANGE, as Windows sends it
// for a user's choice), press Enter or Esc, use the close box or the window
// menu, paint while minimised.
//
// What each modal run does is scripted beforehand: expect() queues one
// script per run, in the order the runs happen (nested runs such as the
// About box included); expectNotCreated() makes a run fail as a dialog
// that cannot be created. A run without a script, of another template than
// expected, or whose script leaves the dialog open throws
// std::logic_error, so a wrong dialog sequence fails the test loudly.
// Single-threaded.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "layer/window_layer.h"

namespace spoolrig {

enum class ControlKind {
  PushButton,
  CheckBox,     // automatic: a click toggles it
  RadioButton,  // automatic: a click ticks it and clears its group
  DropDownList,
  Edit,
  Static,
  GroupBox,
  Icon,
};

struct ScriptedControl {
  int id = -1;  // -1 for controls without an id
  ControlKind kind = ControlKind::Static;
  std::string text;
  int group = 0;  // controls with the same number form one radio group
  bool enabled = true;
  int check = 0;
  std::vector<std::string> items;
  int selection = -1;
};

struct WindowMenuEntry {
  bool separator = false;
  unsigned command = 0;
  std::string text;
};

struct PaintedIcon {
  IconHandle icon;
  int x = 0;
  int y = 0;
};

// One open dialog of the scripted layer: the DialogWindow its handler talks
// to, and the user's side for the test's script.
class ScriptedDialog final : public DialogWindow {
 public:
  ScriptedDialog(int templateId, DialogHandler& handler, bool hasWindowMenu);

  // --- The user's actions --------------------------------------------------

  // Clicks a button. Returns false (and does nothing) when the control is
  // disabled or is not a button.
  bool click(int id);
  // Picks an item of a drop-down list and notifies the dialog. Returns false
  // (and does nothing) when the list is disabled or the position is not one
  // of its items.
  bool select(int id, int position);
  // Enter while no push button has the focus: the window system's IDOK.
  void pressEnter();
  // Esc: the window system's IDCANCEL.
  void pressEsc();
  // The caption's close box: SC_CLOSE through the window menu.
  void closeBox();
  // Chooses a window-menu command; one the dialog leaves alone gets the
  // default handling (SC_CLOSE ends the dialog as Esc does).
  void chooseWindowMenu(unsigned command);
  // Sends WM_PAINT / WM_QUERYDRAGICON.
  bool paint();
  IconHandle queryDragIcon();
  void setIconic(bool iconic) { iconic_ = iconic; }
  void setClientSize(Size size) { clientSize_ = size; }
  void setSystemIconSize(Size size) { systemIconSize_ = size; }

  // --- What the dialog shows -----------------------------------------------

  int templateId() const { return templateId_; }
  // The control with this id; throws std::logic_error when there is none.
  const ScriptedControl& controlById(int id) const;
  bool checked(int id) const { return controlById(id).check == 1; }
  bool enabled(int id) const { return controlById(id).enabled; }
  const std::string& text(int id) const { return controlById(id).text; }
  int selected(int id) const { return controlById(id).selection; }
  // The selected item's text, or empty when nothing is selected.
  std::string selectedText(int id) const;
  const std::vector<WindowMenuEntry>& windowMenu() const { return windowMenu_; }
  IconHandle largeIcon() const { return largeIcon_; }
  IconHandle smallIcon() const { return smallIcon_; }
  const std::vector<PaintedIcon>& paintedIcons() const { return painted_; }
  bool ended() const { return endCode_.has_value(); }
  int endCode() const { return endCode_.value_or(0); }
  // Window-menu commands that went to the default handling.
  const std::vector<unsigned>& defaultSysCommands() const { return defaultSysCommands_; }

  // --- DialogWindow ----------------------------------------------------------

  void endDialog(int code) override;
  ControlHandle control(int id) override;
  void setSelection(ControlHandle list, int position) override;
  int selection(ControlHandle list) override;
  std::string itemText(ControlHandle list, int position) override;
  void setCheck(ControlHandle button, int state) override;
  int check(ControlHandle button) override;
  void setItemText(int id, const std::string& text) override;
  void enable(ControlHandle control, bool enabled) override;
  bool hasWindowMenu() override { return hasWindowMenu_; }
  void appendWindowMenuSeparator() override;
  void appendWindowMenuItem(unsigned command, const std::string& text) override;
  void setLargeIcon(IconHandle icon) override { largeIcon_ = icon; }
  void setSmallIcon(IconHandle icon) override { smallIcon_ = icon; }
  bool isIconic() override { return iconic_; }
  Size clientSize() override { return clientSize_; }
  Size systemIconSize() override { return systemIconSize_; }
  void paintIcon(IconHandle icon, int x, int y) override;

 private:
  ScriptedControl* find(int id);
  ScriptedControl& at(ControlHandle handle);
  void tick(ScriptedControl& button, int state);
  void command(int id, int code);

  int templateId_;
  DialogHandler& handler_;
  std::vector<ScriptedControl> controls_;  // never resized after construction
  std::vector<WindowMenuEntry> windowMenu_;
  bool hasWindowMenu_;
  IconHandle largeIcon_;
  IconHandle smallIcon_;
  bool iconic_ = false;
  Size clientSize_{548, 388};
  Size systemIconSize_{32, 32};
  std::vector<PaintedIcon> painted_;
  std::optional<int> endCode_;
  std::vector<unsigned> defaultSysCommands_;
};

class ScriptedWindowLayer final : public WindowLayer {
 public:
  using Script = std::function<void(ScriptedDialog&)>;

  struct Run {
    int templateId = 0;
    int result = 0;
  };

  ScriptedWindowLayer();

  // Queues what the next modal run does: it must be of `templateId`, and
  // after the dialog's initialisation `script` plays the user, who must end
  // the dialog.
  void expect(int templateId, Script script);
  // Queues a run of `templateId` whose window cannot be created.
  void expectNotCreated(int templateId);
  std::size_t pendingScripts() const { return scripts_.size(); }

  // String resources that loadString answers; IDS_ABOUTBOX is there from
  // the start.
  std::map<int, std::string> strings;
  // Whether dialogs get a window menu.
  bool windowMenus = true;

  const std::vector<Run>& runs() const { return runs_; }
  bool controlContainerEnabled() const { return controlContainer_; }
  bool threeDControlsEnabled() const { return threeD_; }
  // The icon handle that loadIcon(id) hands out.
  static IconHandle iconFor(int id);

  // --- WindowLayer -------------------------------------------------------------

  void enableControlContainer() override { controlContainer_ = true; }
  void enable3dControls() override { threeD_ = true; }
  int runModal(int templateId, DialogHandler& handler) override;
  std::string loadString(int id) override;
  IconHandle loadIcon(int id) override { return iconFor(id); }

 private:
  struct Expected {
    int templateId;
    Script script;  // empty: the window cannot be created
  };
  std::deque<Expected> scripts_;
  std::vector<Run> runs_;
  bool controlContainer_ = false;
  bool threeD_ = false;
};

}  // namespace spoolrig
