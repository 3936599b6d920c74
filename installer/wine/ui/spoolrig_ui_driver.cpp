// A companion program that drives Spoolrig's dialogs from outside, the way
// an accessibility tool does: it finds a dialog by its caption, reads every
// control through window messages, and clicks, picks list items and presses
// keys by sending or posting messages. It uses no hooks and no knowledge of
// Spoolrig's insides beyond the dialogs' captions.
//
//   spoolrig_ui_driver.exe STEP...
//
// Steps run in order; a step that fails prints "error: ..." and ends the
// program with exit status 1.
//   desktop:NAME               work on the named desktop (Wine's virtual
//                              desktop "explorer /desktop=NAME,..."); must
//                              come first
//   wait:select|detail|about   wait (up to 30 s) until the dialog is shown;
//                              later steps act on it
//   gone:select|detail|about   wait until no such dialog is shown
//   state                      print the dialog (its frame on the screen,
//                              its client size) and its controls as JSON
//   focus                      print the id of the control with the focus
//   click:ID                   activate the dialog, send BM_CLICK
//   post-click:ID              the same, posted (for clicks that open a
//                              modal box or run long: a sent click would
//                              block until the box closes)
//   select:ID:POS              CB_SETCURSEL, then tell the dialog
//                              CBN_SELCHANGE, as a user's choice would
//   key:esc|enter              post the key to the control with the focus
//   syscommand:VALUE           post WM_SYSCOMMAND (window menu)
//   close                      the caption's close box (SC_CLOSE, posted)
//   background                 put a window of the driver's own in front, so
//                              that the dialog's program is in the background
//   command:ID                 post the dialog a click of control ID as
//                              WM_COMMAND, leaving the foreground as it is
//   message-box                wait (up to 30 s) for a message box of the
//                              dialog's program; print "message-box owner=
//                              dialog|other|none dialog=enabled|disabled"
//   dismiss                    press OK in that message box
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const wchar_t* captionOf(const std::string& name) {
  if (name == "select") return L"Select OS";
  if (name == "detail") return L"Detail Setting";
  if (name == "about") return L"\x5173\x4E8E Spoolrig";  // "About Spoolrig"
  return nullptr;
}

[[noreturn]] void fail(const std::string& message) {
  std::printf("error: %s\n", message.c_str());
  std::fflush(stdout);
  std::exit(1);
}

// SendMessage with a time limit: a dialog that stops answering fails the
// step instead of hanging the driver.
LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 20000, &result)) {
    fail("no answer to message " + std::to_string(message));
  }
  return static_cast<LRESULT>(result);
}

HWND findDialog(const wchar_t* caption) {
  HWND dialog = FindWindowW(L"#32770", caption);
  return (dialog && IsWindowVisible(dialog)) ? dialog : nullptr;
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

std::string json(const std::wstring& text) {
  std::string out = "\"";
  for (unsigned char c : utf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::wstring className(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

// WM_GETTEXT, not GetWindowText: for a window of another process the latter
// answers from the window system's copy, which an edit box does not keep.
std::wstring windowText(HWND window) {
  if ((GetWindowLongW(window, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
      className(window) == L"Static") {
    return {};  // its "text" is the icon's resource id
  }
  wchar_t text[512] = {};
  send(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
  return text;
}

// The item texts of a combo box, read with CB_GETLBTEXT, which the window
// system carries across processes.
std::string comboItems(HWND combo) {
  const LRESULT count = send(combo, CB_GETCOUNT, 0, 0);
  std::string out = "[";
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = send(combo, CB_GETLBTEXTLEN, i, 0);
    std::wstring text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
    send(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
    text.resize(wcslen(text.c_str()));
    if (i) out += ",";
    out += json(text);
  }
  return out + "]";
}

void printState(HWND dialog) {
  RECT client{};
  GetClientRect(dialog, &client);
  RECT frame{};
  GetWindowRect(dialog, &frame);
  std::printf("{\"caption\":%s,\"window\":[%ld,%ld,%ld,%ld],\"client\":[%ld,%ld],"
              "\"style\":%lu,\"exstyle\":%lu,\"controls\":[",
              json(windowText(dialog)).c_str(), frame.left, frame.top, frame.right - frame.left,
              frame.bottom - frame.top, client.right, client.bottom,
              static_cast<unsigned long>(GetWindowLongW(dialog, GWL_STYLE)),
              static_cast<unsigned long>(GetWindowLongW(dialog, GWL_EXSTYLE)));
  bool first = true;
  // Child windows in z-order, which is the template order.
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    const std::wstring kind = className(child);
    std::printf("%s{\"id\":%d,\"class\":%s,\"style\":%lu,\"text\":%s,\"enabled\":%s,"
                "\"rect\":[%ld,%ld,%ld,%ld]",
                first ? "" : ",", static_cast<int>(static_cast<short>(GetDlgCtrlID(child))),
                json(kind).c_str(), static_cast<unsigned long>(GetWindowLongW(child, GWL_STYLE)),
                json(windowText(child)).c_str(), IsWindowEnabled(child) ? "true" : "false",
                rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    if (_wcsicmp(kind.c_str(), L"Button") == 0) {
      std::printf(",\"check\":%ld", static_cast<long>(send(child, BM_GETCHECK, 0, 0)));
    } else if (_wcsicmp(kind.c_str(), L"ComboBox") == 0) {
      std::printf(",\"selection\":%ld,\"items\":%s",
                  static_cast<long>(send(child, CB_GETCURSEL, 0, 0)),
                  comboItems(child).c_str());
    }
    std::printf("}");
    first = false;
  }
  std::printf("]}\n");
}

HWND focusOf(HWND dialog) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

// A button of an inactive dialog may ignore BM_CLICK. SetActiveWindow only
// works within the calling thread, so bring the dialog to the foreground.
void activate(HWND dialog) { SetForegroundWindow(dialog); }

HWND control(HWND dialog, int id) {
  HWND child = GetDlgItem(dialog, id);
  if (!child) fail("no control " + std::to_string(id));
  return child;
}

struct MessageBoxSearch {
  HWND dialog;
  DWORD process;
  HWND found;
};

BOOL CALLBACK matchMessageBox(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<MessageBoxSearch*>(data);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (window != search->dialog && process == search->process && IsWindowVisible(window) &&
      className(window) == L"#32770") {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// A visible dialog-class window of `dialog`'s process other than `dialog`:
// the message box it shows.
HWND messageBoxOf(HWND dialog) {
  MessageBoxSearch search{dialog, 0, nullptr};
  GetWindowThreadProcessId(dialog, &search.process);
  EnumWindows(matchMessageBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A plain top-level window that takes the foreground from the program under
// test and keeps it while the driver runs.
void takeForeground() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"SpoolrigUiDriverFront";
  RegisterClassW(&windowClass);
  HWND front = CreateWindowExW(0, windowClass.lpszClassName, L"in front", WS_OVERLAPPEDWINDOW,
                               0, 0, 200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
  if (!front) fail("cannot create a window");
  ShowWindow(front, SW_SHOW);
  SetForegroundWindow(front);
  for (int tries = 0; tries < 100 && GetForegroundWindow() != front; ++tries) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(50);
  }
  if (GetForegroundWindow() != front) fail("could not take the foreground");
}

HWND waitFor(const std::string& name, bool shown) {
  const wchar_t* caption = captionOf(name);
  if (!caption) fail("unknown dialog " + name);
  for (int tries = 0; tries < 600; ++tries) {
    HWND dialog = findDialog(caption);
    if ((dialog != nullptr) == shown) return dialog;
    Sleep(50);
  }
  fail(std::string(shown ? "dialog never shown: " : "dialog never closed: ") + name);
}

}  // namespace

int main(int argc, char** argv) {
  HWND dialog = nullptr;
  HWND messageBox = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    std::fprintf(stderr, "step %s\n", step.c_str());
    const std::size_t colon = step.find(':');
    const std::string verb = step.substr(0, colon);
    const std::string arg = colon == std::string::npos ? "" : step.substr(colon + 1);
    if (verb == "desktop") {
      const std::wstring name(arg.begin(), arg.end());
      // The desktop exists once Wine's explorer has started it.
      HDESK desktop = nullptr;
      for (int tries = 0; tries < 600 && !desktop; ++tries) {
        desktop = OpenDesktopW(name.c_str(), 0, FALSE, GENERIC_ALL);
        if (!desktop) Sleep(50);
      }
      if (!desktop) fail("no desktop " + arg);
      if (!SetThreadDesktop(desktop)) {
        fail("cannot use desktop " + arg + ", error " + std::to_string(GetLastError()));
      }
      continue;
    }
    if (verb == "wait") {
      dialog = waitFor(arg, true);
      continue;
    }
    if (verb == "gone") {
      waitFor(arg, false);
      continue;
    }
    if (!dialog || !IsWindow(dialog)) fail("no dialog for step " + step);
    if (verb == "state") {
      printState(dialog);
    } else if (verb == "focus") {
      std::printf("focus %d\n", GetDlgCtrlID(focusOf(dialog)));
    } else if (verb == "click" || verb == "post-click") {
      HWND button = control(dialog, std::atoi(arg.c_str()));
      activate(dialog);
      if (verb == "click") {
        send(button, BM_CLICK, 0, 0);
      } else {
        PostMessageW(button, BM_CLICK, 0, 0);
      }
    } else if (verb == "select") {
      const std::size_t second = arg.find(':');
      const int id = std::atoi(arg.substr(0, second).c_str());
      const int position = std::atoi(arg.substr(second + 1).c_str());
      HWND list = control(dialog, id);
      if (!IsWindowEnabled(list)) fail("list " + std::to_string(id) + " is disabled");
      if (send(list, CB_SETCURSEL, position, 0) == CB_ERR) fail("no item there");
      send(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(list));
    } else if (verb == "key") {
      const WPARAM key = arg == "esc" ? VK_ESCAPE : arg == "enter" ? VK_RETURN : 0;
      if (!key) fail("unknown key " + arg);
      activate(dialog);
      HWND target = focusOf(dialog);
      if (!target) target = dialog;
      const UINT scan = MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC);
      PostMessageW(target, WM_KEYDOWN, key, 1 | (scan << 16));
      PostMessageW(target, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
    } else if (verb == "syscommand") {
      PostMessageW(dialog, WM_SYSCOMMAND, std::strtoul(arg.c_str(), nullptr, 0), 0);
    } else if (verb == "close") {
      PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (verb == "background") {
      takeForeground();
    } else if (verb == "command") {
      const int id = std::atoi(arg.c_str());
      PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(control(dialog, id)));
    } else if (verb == "message-box") {
      for (int tries = 0; tries < 600 && !messageBox; ++tries) {
        messageBox = messageBoxOf(dialog);
        if (!messageBox) Sleep(50);
      }
      if (!messageBox) fail("no message box shown");
      const HWND owner = GetWindow(messageBox, GW_OWNER);
      std::printf("message-box owner=%s dialog=%s\n",
                  owner == dialog ? "dialog" : owner ? "other" : "none",
                  IsWindowEnabled(dialog) ? "enabled" : "disabled");
    } else if (verb == "dismiss") {
      if (!messageBox || !IsWindow(messageBox)) fail("no message box to dismiss");
      PostMessageW(messageBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(messageBox, IDOK)));
    } else {
      fail("unknown step " + step);
    }
    std::fflush(stdout);
  }
  return 0;
}
