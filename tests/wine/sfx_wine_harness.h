// Drives the Win32 stub under Wine: starts it with its own environment,
// watches its windows, reads every message box (caption and text) and
// answers it, and can press Cancel in the progress dialog.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct SfxBox {
  std::string caption;  // UTF-8
  std::string text;     // UTF-8
  bool has_icon = false;
  HWND window = nullptr;
};

enum class SfxAnswer { ok, leave_open_and_cancel_dialog, leave_open };

struct SfxRun {
  int exit_code = -1;        // -1: did not end in time (then killed)
  std::vector<SfxBox> boxes;
  std::string dialog_caption;
  std::string dialog_texts;  // the dialog's static texts and button, "|"-joined
  std::string last_status;   // last text seen in the status box
};

struct SfxRunOptions {
  std::string program;                   // the file that runs
  std::string command_line;              // as the stub receives it
  std::vector<std::string> env;          // "NAME=value" added or replacing
  std::function<SfxAnswer(const SfxBox&, int index)> on_box;  // default: ok
  std::function<void(HWND dialog)> on_dialog;                 // once, when it shows
  DWORD timeout_ms = 60000;
};

SfxRun sfx_run_stub(const SfxRunOptions& options);

std::string sfx_utf8(const std::wstring& w);
std::wstring sfx_wide(const std::string& s);
