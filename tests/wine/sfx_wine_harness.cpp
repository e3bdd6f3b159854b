#include "sfx_wine_harness.h"

#include <algorithm>
#include <set>

namespace {

constexpr int kStatusId = 404;
constexpr int kCancelId = 1002;

std::wstring class_of(HWND w) {
  wchar_t name[64];
  return GetClassNameW(w, name, 64) ? name : L"";
}

std::wstring text_of(HWND w) {
  // WM_GETTEXT works across processes (the text is marshalled).
  // A window that does not answer within a second counts as empty.
  DWORD_PTR n = 0;
  if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 1000, &n)) return {};
  std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(w, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()),
                           SMTO_ABORTIFHUNG, 1000, &got))
    return {};
  s.resize(wcslen(s.c_str()));
  return s;
}

struct Scan {
  DWORD pid;
  std::vector<HWND> dialogs;
};

BOOL CALLBACK collect(HWND w, LPARAM lp) {
  auto* scan = reinterpret_cast<Scan*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == scan->pid && IsWindowVisible(w) && class_of(w) == L"#32770") scan->dialogs.push_back(w);
  return TRUE;
}

struct Children {
  std::vector<HWND> all;
};

BOOL CALLBACK child(HWND w, LPARAM lp) {
  reinterpret_cast<Children*>(lp)->all.push_back(w);
  return TRUE;
}

// A message box's text; false while it is not filled in yet. (Which icon
// it shows cannot be told from another process under Wine: icon handles
// and images do not cross; the console build's tests check the kind.)
bool read_box(HWND w, SfxBox& box) {
  Children c;
  EnumChildWindows(w, child, reinterpret_cast<LPARAM>(&c));
  std::wstring text;
  HICON icon = nullptr;
  for (HWND h : c.all) {
    if (_wcsicmp(class_of(h).c_str(), L"Static") != 0) continue;
    const LONG style = GetWindowLongW(h, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
      icon = reinterpret_cast<HICON>(SendMessageW(h, STM_GETICON, 0, 0));
      continue;
    }
    const std::wstring t = text_of(h);
    if (t.size() > text.size()) text = t;
  }
  if (text.empty()) return false;
  box.caption = sfx_utf8(text_of(w));
  box.text = sfx_utf8(text);
  box.has_icon = icon != nullptr;
  box.window = w;
  return true;
}

std::vector<wchar_t> environment_with(const std::vector<std::string>& extra) {
  std::vector<std::wstring> vars;
  std::vector<std::wstring> names;
  for (const auto& e : extra) {
    vars.push_back(sfx_wide(e));
    names.push_back(vars.back().substr(0, vars.back().find(L'=') + 1));
  }
  wchar_t* block = GetEnvironmentStringsW();
  for (wchar_t* p = block; *p; p += wcslen(p) + 1) {
    bool replaced = false;
    for (const auto& n : names) replaced |= _wcsnicmp(p, n.c_str(), n.size()) == 0;
    if (!replaced) vars.emplace_back(p);
  }
  FreeEnvironmentStringsW(block);
  std::sort(vars.begin(), vars.end(), [](const std::wstring& a, const std::wstring& b) {
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
  });
  std::vector<wchar_t> out;
  for (const auto& v : vars) {
    out.insert(out.end(), v.begin(), v.end());
    out.push_back(0);
  }
  out.push_back(0);
  return out;
}

}  // namespace

std::string sfx_utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring sfx_wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

SfxRun sfx_run_stub(const SfxRunOptions& options) {
  SfxRun run;
  std::wstring cmd = sfx_wide(options.command_line);
  std::vector<wchar_t> env = environment_with(options.env);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const std::wstring app = sfx_wide(options.program);
  if (!CreateProcessW(app.c_str(), cmd.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                      env.data(), nullptr, &si, &pi))
    return run;
  CloseHandle(pi.hThread);

  std::set<HWND> seen;
  HWND dialog = nullptr;
  const DWORD start = GetTickCount();
  for (;;) {
    if (WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0) break;
    if (GetTickCount() - start > options.timeout_ms) {
      TerminateProcess(pi.hProcess, 99);
      WaitForSingleObject(pi.hProcess, 5000);
      CloseHandle(pi.hProcess);
      return run;  // exit_code stays -1
    }
    Scan scan{pi.dwProcessId, {}};
    EnumWindows(collect, reinterpret_cast<LPARAM>(&scan));
    for (HWND w : scan.dialogs) {
      if (GetDlgItem(w, kStatusId)) {
        if (!dialog) {
          dialog = w;
          run.dialog_caption = sfx_utf8(text_of(w));
          Children c;
          EnumChildWindows(w, child, reinterpret_cast<LPARAM>(&c));
          for (HWND h : c.all) {
            const std::wstring cls = class_of(h);
            if (_wcsicmp(cls.c_str(), L"Static") == 0 || _wcsicmp(cls.c_str(), L"Button") == 0) {
              if (!run.dialog_texts.empty()) run.dialog_texts += "|";
              run.dialog_texts += sfx_utf8(text_of(h));
            }
          }
          if (options.on_dialog) options.on_dialog(w);
        }
        continue;
      }
      if (seen.count(w)) continue;
      SfxBox box;
      if (!read_box(w, box)) continue;
      seen.insert(w);
      run.boxes.push_back(box);
      const SfxAnswer a = options.on_box ? options.on_box(box, static_cast<int>(run.boxes.size()) - 1)
                                         : SfxAnswer::ok;
      if (a == SfxAnswer::ok) {
        PostMessageW(w, WM_COMMAND, IDOK, 0);
      } else if (a == SfxAnswer::leave_open_and_cancel_dialog && dialog) {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kCancelId, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, kCancelId)));
      }
    }
    if (dialog && IsWindow(dialog)) {
      HWND status = GetDlgItem(dialog, kStatusId);
      if (status) {
        const std::string s = sfx_utf8(text_of(status));
        if (!s.empty()) run.last_status = s;
      }
    }
  }
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  run.exit_code = static_cast<int>(code);
  return run;
}
