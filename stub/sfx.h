// The installer stub: process-wide state and the operations of the
// self-extraction flow. The flow itself is platform-free; everything that
// touches the window system or the operating system goes through the seam
// in sfx_platform.h, which the Win32 program and the console build provide.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "archive.h"
#include "codec.h"

// Room of every path and formatted text: 1023 characters and the zero.
constexpr std::size_t SFX_PATH_ROOM = 1024;
// Seconds the main thread waits for the progress window.
constexpr int SFX_DIALOG_WAIT_SECONDS = 30;
// How often it looks: the window is up within tens of milliseconds, and
// every look left out until the next one delays the whole installation.
constexpr unsigned SFX_DIALOG_POLL_MS = 10;
// The control file, in the work directory.
inline constexpr char SFX_CONTROL_FILE[] = "qtksfx.ini";

// String table ids.
enum : int {
  SFX_MSG_OPEN_WRITE = 1,
  SFX_MSG_OPEN_READ = 2,
  SFX_MSG_READ_NAMED = 3,
  SFX_MSG_READ = 4,
  SFX_MSG_WRITE = 5,
  SFX_MSG_BAD_PACKET = 6,
  SFX_MSG_CLOSING = 7,
  SFX_MSG_CLOSING_FILES = 8,
  SFX_MSG_NO_CONTROL = 9,
  SFX_MSG_NO_RUN = 10,
  SFX_MSG_CANT_RUN = 11,
  SFX_MSG_UNEXPECTED = 12,
  SFX_MSG_PREPARING = 13,
  SFX_MSG_SETUP_RUNNING = 14,
  SFX_CAP_PROBLEM = 18,
  SFX_MSG_NO_WINDOW = 19,
  SFX_CAP_ERROR = 20,
  SFX_CAP_CANCELLED = 21,
  SFX_MSG_CANCELLED = 22,
  SFX_MSG_CODEC = 23,
  SFX_MSG_MEMBER_END = 25,
  SFX_MSG_FILE_TIME = 26,
  SFX_MSG_SEEK = 27,
  SFX_MSG_SIGNATURE = 28,
  SFX_MSG_INSERT_DISK = 29,
  SFX_MSG_WRONG_DISK = 30,
  SFX_CAP_INSERT_DISK = 31,
};

// Dialog template and control ids.
enum : int {
  SFX_DIALOG_ID = 101,
  SFX_STATUS_ID = 404,
  SFX_CANCEL_ID = 1002,
};

// ---- process-wide state ----------------------------------------------------
// The two window handles are the UI thread's handoff: each is stored once
// by the UI thread (release) and read by the main thread (acquire), so that
// what the UI thread made before is seen with them. Everything else belongs
// to the main thread.
extern void* sfx_instance;
extern char sfx_work_dir[SFX_PATH_ROOM];
extern std::atomic<void*> sfx_dialog;
extern std::atomic<void*> sfx_progress_bar;
extern std::FILE* sfx_archive;
extern char sfx_volume_name[SFX_PATH_ROOM];
extern std::int32_t sfx_volume_count;
extern std::int32_t sfx_progress_base;
extern std::int32_t sfx_progress_end;
extern Packet* sfx_packet;
// The walk over the archive's packets (into sfx_packet), shared by the top
// level and member extraction.
extern sfx_walker sfx_archive_walk;
// The program's own path as started; used unchanged in messages.
extern char sfx_own_path[SFX_PATH_ROOM];
// Set when this run has extracted a member onto the control file: only then
// is the control file in the work directory this archive's.
extern bool sfx_control_extracted;

// ---- the flow ----------------------------------------------------------------
// Runs the whole self-extraction for the program started as own_path (an
// empty text: the platform's module path). Returns the exit code (the setup
// program's own, or 1 when the progress window never came up) or ends the
// process itself.
int sfx_run(const char* own_path);

// Reads one member (sfx_packet holds its header, sfx_archive_walk stands
// inside it); returns after its good end, or ends the process.
void sfx_extract_member();
// After the last member: lets go the folders the members went into, so
// that the setup program may rename or remove them.
void sfx_extract_done();

// Closes the current volume and opens the next one, prompting for the
// diskette until it opens (or the user cancels from the progress window).
void sfx_change_volume();

// The walk's packets. sfx_read_ahead_start, with volume 1 open at its first
// packet, starts the decoding threads: one per processor (QTKSFX_DECODERS=N
// sets the number), at most 8; with one, none is started and each packet
// is read and decoded when the walk asks for it. sfx_read_ahead_packet
// gives the walk the next packet in archive order (a packet_read status),
// after moving the progress bar to where it starts (inside a member) and
// showing the codec's reports on it; sfx_read_ahead_resume goes on reading
// once the walk has changed volumes.
void sfx_read_ahead_start();
int sfx_read_ahead_packet(Packet* packet, bool in_member);
void sfx_read_ahead_resume();

// True when a member's directory and file name (as checked by
// sfx_member_path_check) land on the control file in the work directory.
bool sfx_is_control_file(const char* dir, const char* name);

// The progress window's Cancel, on the UI thread: from now on the main
// thread starts no setup program; message 22, then exit code 1.
[[noreturn]] void sfx_cancel();

// ---- messages ----------------------------------------------------------------
// A message box: caption and text are string-table ids, arg fills the one
// "%s" of the text. Blocks until the box is closed; returns 0.
int sfx_show_message(int caption, int text, const char* arg, bool info);
// The codec's one message: 23 with the code in decimal under caption 18.
// Shown for each report of a packet's decode when the walk reaches that
// packet; returns 0.
int sfx_report_codec_error(int code);
// The whole text of the progress window's status box.
void sfx_show_status(int text, const char* arg);
// The progress bar for a position in the current volume.
void sfx_set_progress(long position);
// Percentage of position within [base, end]; 100 when the span is empty.
int sfx_percent(std::int64_t position, std::int64_t base, std::int64_t end);

// Shows text (caption 20 unless given) as an error box, then the closing
// message (7, or 8 with the work directory), and ends with exit code 1.
[[noreturn]] void sfx_fail(int text, const char* arg, int closing, int caption = SFX_CAP_ERROR);

// Puts arg into the "%s" of tmpl ("%%" gives "%") into out, of room cap.
// The result is always ended; returns false when it had to be cut short.
bool sfx_format(char* out, std::size_t cap, const char* tmpl, const char* arg);

// Joins up to three parts into out; false (and out empty) when the result
// would not fit in cap - 1 characters. Paths are never cut.
bool sfx_join(char* out, std::size_t cap, const char* a, const char* b, const char* c = "",
              const char* d = "");

// The environment variable through which an installer that holds its work
// directory's lock tells the installers below its setup program where that
// lock is: entries "pid.lock" (hexadecimal: the holder's process and its
// handle or descriptor of the lock), ';'-separated, ours last.
inline constexpr char SFX_LOCK_VARIABLE[] = "QTKSFX_WORK_LOCK";
// True when the ';'-separated list holds key as one whole entry.
bool sfx_list_has(const char* list, const char* key);

// The work directory's lock, the same in both builds: what the platform
// does is behind this table. take tries once: SFX_LOCK_TAKEN,
// SFX_LOCK_BUSY while another installer (of any user or elevation) holds
// it, SFX_LOCK_NONE where no lock can be had. held_above says whether an
// entry of the variable (holder's process pid, its lock) is a lock on this
// very directory that is still held up this process's chain.
enum : int { SFX_LOCK_TAKEN, SFX_LOCK_BUSY, SFX_LOCK_NONE, SFX_LOCK_HELD_ABOVE };
struct SfxLockSeam {
  void* ctx;
  int (*take)(void* ctx);
  bool (*held_above)(void* ctx, unsigned long pid, unsigned long lock);
  // Once, as the wait begins (the console build's line).
  void (*waiting)(void* ctx);
  // The platform's clock (seconds), a pause, and the notice below.
  std::int64_t (*now)();
  void (*sleep)(unsigned milliseconds);
  void (*notice)(void* ctx);
};
// Seconds of waiting after which the installer says why it waits.
constexpr int SFX_LOCK_NOTICE_SECONDS = 10;
// Goes on at once (SFX_LOCK_HELD_ABOVE) when an entry of `held` passes
// held_above; else takes the lock, waiting while it is busy: after
// SFX_LOCK_NOTICE_SECONDS notice, once (the platform shows message 1 with
// the work directory under caption 18), and on: the progress window's
// Cancel ends the wait. Returns SFX_LOCK_TAKEN or SFX_LOCK_NONE then.
int sfx_lock_wait(const char* held, const SfxLockSeam& seam);
// One entry "pid.lock" into out (room 20 or more).
void sfx_lock_entry(char* out, unsigned long pid, unsigned long lock);
// On Windows the lock is a handle of the work directory opened with this
// access (FILE_ADD_FILE) and sharing (FILE_SHARE_READ | FILE_SHARE_DELETE):
// a second such handle of the same directory is refused for sharing
// (ERROR_SHARING_VIOLATION, 32), which sfx_lock_answer makes SFX_LOCK_BUSY;
// success is SFX_LOCK_TAKEN, any other error SFX_LOCK_NONE.
constexpr unsigned long SFX_LOCK_ACCESS = 0x0002;
constexpr unsigned long SFX_LOCK_SHARE = 0x0001 | 0x0004;
int sfx_lock_answer(unsigned long error);

// Windows' refusal to start a program whose manifest asks for elevation
// from a process that does not have it (ERROR_ELEVATION_REQUIRED).
constexpr unsigned long SFX_ELEVATION_REQUIRED = 740;
// One way of starting the setup program and waiting for it: 0 when it ran
// and ended (its exit code in *code), else the system's error code.
using sfx_start_fn = unsigned long (*)(const void* program, int* code);
// Starts the setup program directly, and only when that is refused for
// want of elevation once more through `shell`, which lets Windows ask the
// user for consent. True when it ran; a refused consent is a program that
// could not be started.
bool sfx_start_setup(const void* program, sfx_start_fn direct, sfx_start_fn shell, int* code);

// Fills the state's defaults for a fresh run (tests run the flow repeatedly).
void sfx_reset_state();
