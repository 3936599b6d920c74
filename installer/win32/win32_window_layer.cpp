#include "win32/win32_window_layer.h"

#include <windows.h>

#include <vector>

#include "logic/radio_group.h"
#include "logic/template_list_items.h"

namespace spoolrig {
namespace {

static_assert(IDOK == idOk && IDCANCEL == idCancel);
static_assert(BN_CLICKED == buttonClicked && CBN_SELCHANGE == comboSelectionChanged);
static_assert(SC_CLOSE == systemCommandClose);

HWND hwndOf(ControlHandle control) { return reinterpret_cast<HWND>(control.value); }

class Win32DialogWindow final : public DialogWindow {
 public:
  HWND hwnd = nullptr;

  void endDialog(int code) override { EndDialog(hwnd, code); }

  ControlHandle control(int id) override {
    return ControlHandle{reinterpret_cast<std::uintptr_t>(GetDlgItem(hwnd, id))};
  }

  void setSelection(ControlHandle list, int position) override {
    SendMessageA(hwndOf(list), CB_SETCURSEL, static_cast<WPARAM>(position), 0);
  }

  int selection(ControlHandle list) override {
    return static_cast<int>(SendMessageA(hwndOf(list), CB_GETCURSEL, 0, 0));
  }

  std::string itemText(ControlHandle list, int position) override {
    const LRESULT length = SendMessageA(hwndOf(list), CB_GETLBTEXTLEN, position, 0);
    if (length == CB_ERR || length < 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const LRESULT copied = SendMessageA(hwndOf(list), CB_GETLBTEXT, position,
                                        reinterpret_cast<LPARAM>(text.data()));
    if (copied == CB_ERR || copied < 0) return {};
    text.resize(static_cast<std::size_t>(copied));
    return text;
  }

  void setCheck(ControlHandle button, int state) override {
    const HWND h = hwndOf(button);
    SendMessageA(h, BM_SETCHECK, static_cast<WPARAM>(state), 0);
    // BM_SETCHECK leaves the other radios of the group alone; a tick set
    // from code should look like one the user made.
    const LONG type = GetWindowLongA(h, GWL_STYLE) & BS_TYPEMASK;
    if (state != BST_CHECKED || type != BS_AUTORADIOBUTTON) return;
    // The group's own controls, disabled and hidden ones included:
    // GetNextDlgGroupItem would skip those and never come back to a ticked
    // button of that kind.
    std::vector<HWND> children;
    std::vector<GroupedControl> controls;
    std::size_t ticked = 0;
    for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      if (child == h) ticked = children.size();
      const LONG style = GetWindowLongA(child, GWL_STYLE);
      children.push_back(child);
      controls.push_back({(style & WS_GROUP) != 0, (style & BS_TYPEMASK) == BS_AUTORADIOBUTTON});
    }
    for (std::size_t other : otherRadiosOfGroup(controls, ticked)) {
      SendMessageA(children[other], BM_SETCHECK, BST_UNCHECKED, 0);
    }
  }

  int check(ControlHandle button) override {
    return static_cast<int>(SendMessageA(hwndOf(button), BM_GETCHECK, 0, 0));
  }

  void setItemText(int id, const std::string& text) override {
    SetDlgItemTextA(hwnd, id, text.c_str());
  }

  void enable(ControlHandle control, bool enabled) override {
    EnableWindow(hwndOf(control), enabled ? TRUE : FALSE);
  }

  bool hasWindowMenu() override { return GetSystemMenu(hwnd, FALSE) != nullptr; }

  void appendWindowMenuSeparator() override {
    if (HMENU menu = GetSystemMenu(hwnd, FALSE)) AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  }

  void appendWindowMenuItem(unsigned command, const std::string& text) override {
    if (HMENU menu = GetSystemMenu(hwnd, FALSE)) {
      AppendMenuA(menu, MF_STRING, command, text.c_str());
    }
  }

  void setLargeIcon(IconHandle icon) override {
    SendMessageA(hwnd, WM_SETICON, ICON_BIG, static_cast<LPARAM>(icon.value));
  }

  void setSmallIcon(IconHandle icon) override {
    SendMessageA(hwnd, WM_SETICON, ICON_SMALL, static_cast<LPARAM>(icon.value));
  }

  bool isIconic() override { return IsIconic(hwnd) != FALSE; }

  Size clientSize() override {
    RECT rect{};
    GetClientRect(hwnd, &rect);
    return {rect.right - rect.left, rect.bottom - rect.top};
  }

  Size systemIconSize() override {
    return {GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)};
  }

  void paintIcon(IconHandle icon, int x, int y) override {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd, &paint);
    SendMessageA(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    DrawIcon(dc, x, y, reinterpret_cast<HICON>(icon.value));
    EndPaint(hwnd, &paint);
  }
};

// Everything one modal run needs, reached through DWLP_USER.
struct ModalRun {
  Win32WindowLayer* layer;
  int templateId;
  DialogHandler* handler;
  Win32DialogWindow window;
};

// The dialog manager adds a template's list items before WM_INITDIALOG
// reaches the dialog, in template order and unsorted.
void fillTemplateLists(HWND dialog, int templateId) {
  for (const TemplateList& list : templateListItems(templateId)) {
    const HWND control = GetDlgItem(dialog, list.controlId);
    for (const char* item : list.items) {
      SendMessageA(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    }
  }
}

INT_PTR CALLBACK dialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* run = reinterpret_cast<ModalRun*>(lParam);
    SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(run));
    run->window.hwnd = hwnd;
    run->layer->dialogCreated(hwnd);
    fillTemplateLists(hwnd, run->templateId);
    return run->handler->onInitDialog(run->window) ? TRUE : FALSE;
  }
  auto* run = reinterpret_cast<ModalRun*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (run == nullptr) return FALSE;  // messages before WM_INITDIALOG
  switch (message) {
    case WM_COMMAND:
      run->handler->onCommand(run->window, LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_SYSCOMMAND:
      return run->handler->onSysCommand(run->window, static_cast<unsigned>(wParam)) ? TRUE
                                                                                     : FALSE;
    case WM_PAINT:
      return run->handler->onPaint(run->window) ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      // One of the messages whose result a dialog procedure returns directly.
      return static_cast<INT_PTR>(run->handler->onQueryDragIcon(run->window).value);
    default:
      return FALSE;
  }
}

}  // namespace

Win32WindowLayer::Win32WindowLayer() : instance_(GetModuleHandleA(nullptr)) {}

int Win32WindowLayer::runModal(int templateId, DialogHandler& handler) {
  ModalRun run{this, templateId, &handler, {}};
  const HWND owner = static_cast<HWND>(innermostDialog());
  const std::size_t depth = openDialogs_.size();
  const INT_PTR result =
      DialogBoxParamA(static_cast<HINSTANCE>(instance_), MAKEINTRESOURCEA(templateId), owner,
                      dialogProcedure, reinterpret_cast<LPARAM>(&run));
  openDialogs_.resize(depth);
  return static_cast<int>(result);
}

std::string Win32WindowLayer::loadString(int id) {
  char text[256] = {};
  const int length = LoadStringA(static_cast<HINSTANCE>(instance_), static_cast<UINT>(id), text,
                                 static_cast<int>(sizeof text));
  return std::string(text, length > 0 ? static_cast<std::size_t>(length) : 0);
}

IconHandle Win32WindowLayer::loadIcon(int id) {
  const HICON icon = LoadIconA(static_cast<HINSTANCE>(instance_), MAKEINTRESOURCEA(id));
  return IconHandle{reinterpret_cast<std::uintptr_t>(icon)};
}

}  // namespace spoolrig
