// What the rooms of the Win32 program share: the flow's UTF-8 texts as the
// UTF-16 of the wide calls and back, DLLs from the system directory, and
// the end of the process.
#pragma once

#include <windows.h>

#include <cstddef>

#include "sfx.h"

// A UTF-8 text as UTF-16 for the wide calls; false when it does not fit.
bool sfx_win_wide(const char* text, wchar_t* out, int cap = SFX_PATH_ROOM);
// UTF-16 as UTF-8 into out of room cap, cut before the first character that
// does not fit; true when all of it fits.
bool sfx_win_utf8(const wchar_t* w, char* out, std::size_t cap);
// A path from a wide call of length n (0: none; cap or more: cut) as UTF-8;
// its length, 0 for none or for a path that does not fit.
std::size_t sfx_win_path_out(const wchar_t* w, DWORD n, DWORD wcap, char* out, std::size_t cap);
// A DLL from the system directory only, loaded when it is first needed.
HMODULE sfx_win_system_library(const char* name);
// A process of this program started as the keeper of a lock (the lock's
// holder started a program through the elevation prompt) keeps it until
// that program ends and then ends; any other returns at once.
void sfx_win_keep_lock();
// Ends the process from any thread; open output files keep what was
// written to them.
[[noreturn]] void sfx_win_end_process(int code);
