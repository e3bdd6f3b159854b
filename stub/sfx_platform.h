// The seam between the self-extraction flow and the platform. The Win32
// program implements it with the window system; the console build with a
// terminal, so that the flow runs and is tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "sfx.h"

// Whether the file system takes names that differ only in letter case for
// one file (Windows).
extern const bool sfx_platform_names_ignore_case;

// Process start: loader hardening, no system error boxes (a missing
// diskette leads straight to the stub's own prompts), the common controls.
void sfx_platform_init();
// The program's own module path, for an empty command line.
void sfx_platform_module_path(char* out, std::size_t cap);
// Temporary and system (Windows) directory: length written, 0 for none or
// for a path that does not fit.
std::size_t sfx_platform_temp_dir(char* out, std::size_t cap);
std::size_t sfx_platform_windows_dir(char* out, std::size_t cap);
// Starts the UI thread, which sets sfx_dialog and sfx_progress_bar.
bool sfx_platform_start_ui();
void sfx_platform_sleep(unsigned milliseconds);
// Calendar time in whole seconds.
std::int64_t sfx_platform_now();
// String-table entry id in the platform's language (at most 999 characters);
// the length, 0 when there is none.
std::size_t sfx_platform_load_string(int id, char* out, std::size_t cap);
// A message box with no owner window; error or information icon.
void sfx_platform_message_box(const char* caption, const char* text, bool info);
// Status box text and progress bar position of the progress window.
void sfx_platform_set_status(const char* text);
void sfx_platform_set_progress(int percent);
// ---- member folders and files ------------------------------------------------
// A member's folders are entered level by level below the work directory
// (level 0 is the first one below it) and held until they are let go, so
// that a run of members in one folder checks and makes it once. A held
// folder stays the folder that was checked: the folders and files inside
// it are made relative to it, whatever its name comes to lead to, and on
// Windows its handle refuses delete sharing as well, so that it can be
// neither renamed nor removed while it is held.
constexpr int SFX_DIR_LEVELS = static_cast<int>(SFX_PATH_ROOM / 2);
// Enters the folder path (the work directory and a member's folders up to
// and including this level's, the last part of path) as level `level`,
// while the levels above it are held: made first when `make` and it is
// missing. False, with nothing held at this level, when it is a link (on
// Windows also a junction or another reparse point), no folder, or cannot
// be made or opened.
bool sfx_platform_enter_dir(int level, const char* path, bool make);
// Lets go the held folders of level `level` and below; -1 lets go the work
// directory as well, which the first level is made in.
void sfx_platform_leave_dirs(int level);

// A member's output file, open for writing; SFX_NO_FILE for none.
using sfx_file = std::intptr_t;
constexpr sfx_file SFX_NO_FILE = -1;
// Creates the member's output file path, whose last part is the file's
// name, in the folder entered last (the work directory when none is held).
// Whatever stands at path is replaced, never written through: a symbolic
// or hard link there gives way to a new file. SFX_NO_FILE when the file
// cannot be created.
sfx_file sfx_platform_create_file(const char* path);
// Writes n bytes in one piece; false when fewer were written.
bool sfx_platform_write_file(sfx_file file, const void* data, std::size_t n);
// Last-access and last-write time, seconds since 1970 UTC, set through the
// file's own handle after its last write.
bool sfx_platform_set_file_time(sfx_file file, std::int32_t seconds);
// Closes the file; false when what was written could not be kept.
bool sfx_platform_close_file(sfx_file file);
void sfx_platform_change_dir(const char* path);
// Opens a volume of the archive for binary reading; null when it does not.
std::FILE* sfx_platform_open_volume(const char* path);
// A name as the archive stores it (a member's directory or file name, the
// control file's run= value: bytes of the system's code page) as the text
// that paths are made of: on Windows the UTF-8 of what the system's
// code-page calls make of those bytes, in the console build the bytes
// unchanged. False (and out empty) when it does not fit in cap - 1 bytes.
bool sfx_platform_name_text(const char* name, char* out, std::size_t cap);
// Waits until this installer alone writes into the work directory dir, and
// holds that until the process and the setup program that it starts have
// both ended (the setup program inherits the lock): installers with one
// work directory run one after another, whoever runs them and however the
// directory is named. An installer started, however far down, by the
// setup program of a holder goes on at once when its environment names a
// lock on dir that is still held up its chain (sfx_lock_wait). Where no
// lock can be had, the run goes on without one.
void sfx_platform_lock_work_dir(const char* dir);
// Starts program with its path as its only argument and the lock of
// sfx_platform_lock_work_dir, and waits until it ends; false when it could
// not be started, else its exit code in *code.
bool sfx_platform_run_and_wait(const char* program, int* code);
[[noreturn]] void sfx_platform_exit(int code);

// ---- decoding threads --------------------------------------------------------
// Processors of the machine; 1 when unknown.
unsigned sfx_platform_processors();
// Starts a thread that runs run(arg); false when it could not be started.
// The thread is never waited for: it ends with the process.
bool sfx_platform_start_thread(void (*run)(void* arg), void* arg);
// Counting semaphores: a new one holding `initial` units (null when none
// could be made); take one unit, waiting until there is one; give one back.
void* sfx_platform_semaphore(unsigned initial);
void sfx_platform_wait(void* semaphore);
void sfx_platform_post(void* semaphore);
