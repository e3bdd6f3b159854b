// The self-extraction flow on the main thread: work directory, waiting for
// the progress window, the codec, the trailer, the top-level walk, volume
// changes, the control file and the setup program.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "fs_code.h"
#include "record.h"
#include "sfx.h"
#include "sfx_platform.h"

void* sfx_instance = nullptr;
char sfx_work_dir[SFX_PATH_ROOM];
std::atomic<void*> sfx_dialog{nullptr};
std::atomic<void*> sfx_progress_bar{nullptr};
std::FILE* sfx_archive = nullptr;
char sfx_volume_name[SFX_PATH_ROOM];
std::int32_t sfx_volume_count = 0;
std::int32_t sfx_progress_base = 0;
std::int32_t sfx_progress_end = 0;
Packet* sfx_packet = nullptr;
sfx_walker sfx_archive_walk;
char sfx_own_path[SFX_PATH_ROOM];
bool sfx_control_extracted = false;

namespace {

// The start of the setup program, claimed by the main thread just before it
// starts it, and refused by the progress window's Cancel: whichever comes
// first decides. A setup program that runs already is not stopped by Cancel.
enum : int { SETUP_OPEN = 0, SETUP_STARTING = 1, SETUP_CANCELLED = 2 };
std::atomic<int> g_setup{SETUP_OPEN};

// A signed value in decimal ("%d"); out holds at least 12 bytes.
void decimal(int value, char* out) {
  if (value < 0) *out++ = '-';
  fs_decimal(out, value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value), 1);
}


void choose_work_dir() {
  // Room for the directory and a separator that may have to be appended.
  std::size_t n = sfx_platform_temp_dir(sfx_work_dir, SFX_PATH_MAX);
  if (n == 0) n = sfx_platform_windows_dir(sfx_work_dir, SFX_PATH_MAX);
  if (n == 0) {
    std::strcpy(sfx_work_dir, "c:/");
    n = 3;
  }
  if (sfx_work_dir[n - 1] != '/' && sfx_work_dir[n - 1] != '\\') {
    sfx_work_dir[n] = '/';
    sfx_work_dir[n + 1] = 0;
  }
}

// Waits for the progress window; false after the time limit.
bool wait_for_dialog() {
  const std::int64_t start = sfx_platform_now();
  for (;;) {
    if (sfx_platform_now() - start > SFX_DIALOG_WAIT_SECONDS) return false;
    if (sfx_dialog.load(std::memory_order_acquire)) return true;
    sfx_platform_sleep(SFX_DIALOG_POLL_MS);
  }
}

// Opens volume 1: the program's own path as started, and when that does not
// open (a command line that names the program without its extension, an
// unquoted path with spaces) the module's full path, from which the later
// volumes' names are then derived too. Messages keep the path as started.
void open_archive(bool own_path_fits) {
  sfx_volume_name[0] = 0;
  sfx_archive = nullptr;
  if (own_path_fits && sfx_own_path[0]) {
    std::strcpy(sfx_volume_name, sfx_own_path);
    sfx_archive = sfx_platform_open_volume(sfx_volume_name);
  }
  if (!sfx_archive) {
    char module[SFX_PATH_ROOM];
    sfx_platform_module_path(module, sizeof module);
    if (module[0] && std::strcmp(module, sfx_volume_name) != 0) {
      std::strcpy(sfx_volume_name, module);
      sfx_archive = sfx_platform_open_volume(sfx_volume_name);
    }
  }
  if (!sfx_archive) sfx_fail(SFX_MSG_OPEN_READ, sfx_own_path, SFX_MSG_CLOSING);

  std::uint32_t first = 0;
  long end = 0;
  switch (sfx_trailer_read(sfx_archive, &first, &end)) {
    case SFX_OK:
      break;
    case SFX_E_SHORT:
      sfx_fail(SFX_MSG_READ_NAMED, sfx_own_path, SFX_MSG_CLOSING);
    case SFX_E_SIGNATURE:
      sfx_fail(SFX_MSG_SIGNATURE, sfx_own_path, SFX_MSG_CLOSING);
    case SFX_E_OFFSET:
      // The first packet would lie in or past the trailer: no packet can be
      // read there, so this is the damaged archive of the top-level walk.
      sfx_fail(SFX_MSG_BAD_PACKET, sfx_own_path, SFX_MSG_CLOSING_FILES);
    default:
      sfx_fail(SFX_MSG_SEEK, sfx_own_path, SFX_MSG_CLOSING);
  }
  sfx_progress_end = static_cast<std::int32_t>(end);
  sfx_progress_base = static_cast<std::int32_t>(first);
  sfx_set_progress(std::ftell(sfx_archive));
}

// The stub's packet source for the archive walk: the open volume, read and
// decoded ahead. Inside a member the progress bar follows the position of
// every packet.
int read_packet(void*, Packet* packet, const sfx_walk* walk) {
  return sfx_read_ahead_packet(packet, walk->in_member != 0);
}

int next_volume(void*) {
  sfx_change_volume();
  sfx_read_ahead_resume();
  return 0;
}

// The top level of the archive: members and the archive end.
void walk_archive() {
  sfx_walker_init(&sfx_archive_walk, sfx_packet, nullptr, read_packet, next_volume);
  for (;;) {
    const int step = sfx_walker_next(&sfx_archive_walk);
    if (step == SFX_STEP_END) {
      sfx_extract_done();
      return;
    }
    if (step == SFX_STEP_MEMBER) {
      sfx_extract_member();
    } else if (step == SFX_E_READ) {
      sfx_fail(SFX_MSG_BAD_PACKET, sfx_own_path, SFX_MSG_CLOSING_FILES);
    } else {
      sfx_fail(SFX_MSG_UNEXPECTED, sfx_own_path, SFX_MSG_CLOSING_FILES);
    }
  }
}

// a followed by b in out, cut where it does not fit (for messages only).
void shown_join(char* out, std::size_t cap, const char* a, const char* b) {
  sfx_format(out, cap, "%s", a);
  const std::size_t n = std::strlen(out);
  sfx_format(out + n, cap - n, "%s", b);
}

// Runs the setup program; its exit code.
int run_setup() {
  // The work directory is shared: a control file that an earlier installer
  // left there is not this archive's, and its run= is not followed.
  if (!sfx_control_extracted) sfx_fail(SFX_MSG_NO_CONTROL, "", SFX_MSG_CLOSING_FILES);
  char control[SFX_PATH_ROOM];
  if (!sfx_join(control, sizeof control, sfx_work_dir, SFX_CONTROL_FILE)) {
    // Cannot name a file in the work directory; show as much as fits.
    shown_join(control, sizeof control, sfx_work_dir, SFX_CONTROL_FILE);
    sfx_fail(SFX_MSG_OPEN_READ, control, SFX_MSG_CLOSING_FILES);
  }
  fs_ini_entry* table = fs_ini_read(control);
  if (!table) sfx_fail(SFX_MSG_OPEN_READ, control, SFX_MSG_CLOSING_FILES);
  const fs_ini_entry* run = fs_ini_find(table, "system", "run");
  const fs_ini_entry* run_utf8 = fs_ini_find(table, "system", SFX_RUN_UTF8_KEY);
  if (run_utf8 && !sfx_utf8_valid(run_utf8->value, std::strlen(run_utf8->value))) run_utf8 = nullptr;
  if (!run && !run_utf8) sfx_fail(SFX_MSG_NO_RUN, "", SFX_MSG_CLOSING_FILES);

  // The value names a member, and is read as the member names are: the
  // UTF-8 one as it stands, run= in the code page's bytes.
  char value[SFX_PATH_ROOM];
  char program[SFX_PATH_ROOM];
  if (run_utf8) run = run_utf8;
  if (!(run_utf8 ? sfx_join(value, sizeof value, run->value, "")
                 : sfx_platform_name_text(run->value, value, sizeof value)) ||
      !sfx_join(program, sizeof program, sfx_work_dir, value)) {
    // A path that does not fit names no extracted file: nothing can start.
    shown_join(program, sizeof program, sfx_work_dir, value[0] ? value : run->value);
    sfx_fail(SFX_MSG_CANT_RUN, program, SFX_MSG_CLOSING_FILES);
  }
  fs_ini_free(table);
  sfx_show_status(SFX_MSG_SETUP_RUNNING, program);

  // The setup program's directory becomes the current directory.
  char dir[SFX_PATH_ROOM];
  std::strcpy(dir, program);
  for (std::size_t i = std::strlen(dir); i-- > 1;) {
    if (dir[i] == '/' || dir[i] == '\\') {
      // "c:/setup.exe" keeps its separator: "c:" alone is the drive's
      // current directory, not its root.
      dir[i == 2 && dir[1] == ':' ? i + 1 : i] = 0;
      break;
    }
  }
  sfx_platform_change_dir(dir);
  // After Cancel no setup program starts: the main thread waits here until
  // the UI thread ends the process, when the user closes the Cancel box.
  int expected = SETUP_OPEN;
  if (!g_setup.compare_exchange_strong(expected, SETUP_STARTING))
    for (;;) sfx_platform_sleep(1000);
  // That it could not start is a failure; its own exit code becomes the
  // installer's, so that a failed setup is not reported as success.
  int code = 0;
  if (!sfx_platform_run_and_wait(program, &code))
    sfx_fail(SFX_MSG_CANT_RUN, program, SFX_MSG_CLOSING_FILES);
  return code;
}

}  // namespace

int sfx_report_codec_error(int code) {
  char text[16];
  decimal(code, text);
  return sfx_show_message(SFX_CAP_PROBLEM, SFX_MSG_CODEC, text, false);
}

void sfx_reset_state() {
  sfx_work_dir[0] = 0;
  sfx_dialog.store(nullptr, std::memory_order_relaxed);
  sfx_progress_bar.store(nullptr, std::memory_order_relaxed);
  sfx_archive = nullptr;
  sfx_volume_name[0] = 0;
  sfx_volume_count = 0;
  sfx_progress_base = 0;
  sfx_progress_end = 0;
  sfx_packet = nullptr;
  sfx_own_path[0] = 0;
  sfx_control_extracted = false;
  g_setup.store(SETUP_OPEN);
}

void sfx_cancel() {
  g_setup.store(SETUP_CANCELLED);
  sfx_show_message(SFX_CAP_CANCELLED, SFX_MSG_CANCELLED, sfx_work_dir, false);
  sfx_platform_exit(1);
}

void sfx_change_volume() {
  std::fclose(sfx_archive);
  sfx_archive = nullptr;
  ++sfx_volume_count;
  char disk[16];
  decimal(sfx_volume_count + 1, disk);
  if (sfx_next_volume_name(sfx_volume_name, sfx_volume_count, sfx_volume_name,
                           sizeof sfx_volume_name) != SFX_OK)
    sfx_fail(SFX_MSG_OPEN_READ, sfx_volume_name, SFX_MSG_CLOSING_FILES);
  sfx_show_message(SFX_CAP_INSERT_DISK, SFX_MSG_INSERT_DISK, disk, true);
  while (!(sfx_archive = sfx_platform_open_volume(sfx_volume_name)))
    sfx_show_message(SFX_CAP_INSERT_DISK, SFX_MSG_WRONG_DISK, disk, false);

  sfx_progress_base = 0;
  long end = -1;
  if (std::fseek(sfx_archive, 0, SEEK_END) == 0) end = std::ftell(sfx_archive);
  if (end < 0 || std::fseek(sfx_archive, 0, SEEK_SET) != 0)
    sfx_fail(SFX_MSG_SEEK, sfx_own_path, SFX_MSG_CLOSING_FILES);
  sfx_progress_end = static_cast<std::int32_t>(end);
}

int sfx_run(const char* own_path) {
  sfx_platform_init();
  bool own_path_fits = true;
  if (own_path && own_path[0]) {
    // An own path that does not fit is kept cut for the message only; it is
    // never opened (the module's path may still be).
    if (!sfx_join(sfx_own_path, sizeof sfx_own_path, own_path, "")) {
      sfx_format(sfx_own_path, sizeof sfx_own_path, "%s", own_path);
      own_path_fits = false;
    }
  } else {
    sfx_platform_module_path(sfx_own_path, sizeof sfx_own_path);
  }

  choose_work_dir();
  sfx_platform_start_ui();
  if (!wait_for_dialog()) {
    sfx_show_message(SFX_CAP_PROBLEM, SFX_MSG_NO_WINDOW, "", false);
    sfx_show_message(SFX_CAP_ERROR, SFX_MSG_CLOSING, "", true);
    return 1;  // nothing was installed
  }

  const int status = codec_init(SFX_PACKET_SIZE);
  if (status != 0) {
    char code[16];
    decimal(status, code);
    sfx_fail(SFX_MSG_CODEC, code, SFX_MSG_CLOSING);
  }
  sfx_packet = packet_alloc(SFX_PACKET_SIZE);
  if (!sfx_packet) sfx_fail(SFX_MSG_CODEC, "0", SFX_MSG_CLOSING);

  open_archive(own_path_fits);
  // The work directory and its fixed names are shared: another installer
  // that writes there goes first, until its setup program has ended.
  sfx_platform_lock_work_dir(sfx_work_dir);
  sfx_read_ahead_start();
  walk_archive();
  std::fclose(sfx_archive);
  sfx_archive = nullptr;
  return run_setup();
}
