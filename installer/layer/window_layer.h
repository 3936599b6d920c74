// The window and dialog services that Spoolrig's dialogs use, as an
// interface, so that the dialogs' decisions run both over the real Win32
// dialog manager (win32/) and over a scripted stand-in in native tests
// (recording/).
//
// The shape follows Win32 closely: a dialog is run modally from a template
// id with a handler object; the handler is called once per message that the
// dialog reacts to and talks back to its open window through DialogWindow.
// Everything runs on the one user-interface thread.
#pragma once

#include <cstdint>
#include <string>

namespace spoolrig {

// End codes of a modal run, as the window system numbers them.
inline constexpr int idOk = 1;
inline constexpr int idCancel = 2;
// What running a dialog returns when its window cannot be created.
inline constexpr int dialogNotCreated = -1;

// Notification codes of WM_COMMAND that the dialogs look at.
inline constexpr int buttonClicked = 0;          // BN_CLICKED, also menu/keyboard commands
inline constexpr int comboSelectionChanged = 1;  // CBN_SELCHANGE

// Window-menu command of the "close" entry (SC_CLOSE); its default handling
// ends a dialog as Esc does.
inline constexpr unsigned systemCommandClose = 0xF060;

// Opaque handle of a control (an HWND on Win32). Zero means "none".
struct ControlHandle {
  std::uintptr_t value = 0;
  explicit operator bool() const { return value != 0; }
  friend bool operator==(ControlHandle, ControlHandle) = default;
};

// Opaque handle of a loaded icon (an HICON on Win32). Zero means "none".
struct IconHandle {
  std::uintptr_t value = 0;
  explicit operator bool() const { return value != 0; }
  friend bool operator==(IconHandle, IconHandle) = default;
};

struct Size {
  int width = 0;
  int height = 0;
};

// One open dialog window, valid from the handler's initialisation until its
// modal run returns. Handlers call it only from within their own handler
// calls.
class DialogWindow {
 public:
  virtual ~DialogWindow() = default;

  // Ends the modal run; the run returns `code` once the handler returns.
  virtual void endDialog(int code) = 0;

  // GetDlgItem: a handle for the control with this id, or none.
  virtual ControlHandle control(int id) = 0;

  // Drop-down lists (CB_SETCURSEL, CB_GETCURSEL, CB_GETLBTEXTLEN +
  // CB_GETLBTEXT). Selecting by message sends no notification.
  // selection() is -1 when nothing is selected; itemText() returns the
  // item's text with its blanks, or an empty text for a bad position.
  virtual void setSelection(ControlHandle list, int position) = 0;
  virtual int selection(ControlHandle list) = 0;
  virtual std::string itemText(ControlHandle list, int position) = 0;

  // Buttons (BM_SETCHECK, BM_GETCHECK). Ticking a radio button by message
  // clears the others of its group (the dialogs' radios are automatic).
  virtual void setCheck(ControlHandle button, int state) = 0;
  virtual int check(ControlHandle button) = 0;

  // SetDlgItemTextA: 8-bit text.
  virtual void setItemText(int id, const std::string& text) = 0;

  // EnableWindow: a disabled control cannot be changed by the user.
  virtual void enable(ControlHandle control, bool enabled) = 0;

  // GetSystemMenu + AppendMenuA. hasWindowMenu() is false when the window
  // has none; the appends then do nothing.
  virtual bool hasWindowMenu() = 0;
  virtual void appendWindowMenuSeparator() = 0;
  virtual void appendWindowMenuItem(unsigned command, const std::string& text) = 0;

  // WM_SETICON with ICON_BIG / ICON_SMALL.
  virtual void setLargeIcon(IconHandle icon) = 0;
  virtual void setSmallIcon(IconHandle icon) = 0;

  // Minimised painting: IsIconic, GetClientRect, GetSystemMetrics(SM_CXICON,
  // SM_CYICON), and one paint pass that begins painting, sends
  // WM_ICONERASEBKGND to the dialog with the painting context, draws the
  // icon at (x, y) and ends painting.
  virtual bool isIconic() = 0;
  virtual Size clientSize() = 0;
  virtual Size systemIconSize() = 0;
  virtual void paintIcon(IconHandle icon, int x, int y) = 0;
};

// What a dialog does with the messages it reacts to. One object per dialog
// class; the same object may be run again and then gets a fresh window.
class DialogHandler {
 public:
  virtual ~DialogHandler() = default;

  // WM_INITDIALOG, after the controls exist and the template's list items
  // have been added. Returning true lets the window system focus the first
  // tab stop.
  virtual bool onInitDialog(DialogWindow& window) = 0;

  // WM_COMMAND: control or command id and notification code.
  virtual void onCommand(DialogWindow& window, int id, int code) = 0;

  // WM_SYSCOMMAND. Returns false to leave the command to the window
  // system's default handling (move, close and so on).
  virtual bool onSysCommand(DialogWindow&, unsigned /*command*/) { return false; }

  // WM_PAINT. Returns false to leave painting to the window system.
  virtual bool onPaint(DialogWindow&) { return false; }

  // WM_QUERYDRAGICON: the icon to show while dragging, or none.
  virtual IconHandle onQueryDragIcon(DialogWindow&) { return {}; }
};

// The process-level part of the window services.
class WindowLayer {
 public:
  virtual ~WindowLayer() = default;

  // Start-up switches for hosting embedded controls and for the
  // three-dimensional look of dialog controls. Spoolrig's own dialogs
  // contain neither, so a layer may do nothing here.
  virtual void enableControlContainer() = 0;
  virtual void enable3dControls() = 0;

  // Creates the dialog of `templateId`, fills the lists that the template
  // carries items for, calls handler.onInitDialog, and dispatches input to
  // the handler until it ends the dialog. Returns the end code, or
  // dialogNotCreated. May be called from within a handler of another
  // dialog (the About box); the new dialog is then owned by that one.
  virtual int runModal(int templateId, DialogHandler& handler) = 0;

  // LoadStringA: the text of a string resource, empty when it is missing.
  virtual std::string loadString(int id) = 0;

  // LoadIconA from the program's own resources.
  virtual IconHandle loadIcon(int id) = 0;
};

}  // namespace spoolrig
