// Messages, the status box and the progress bar.
#include "sfx.h"
#include "sfx_platform.h"

namespace {
// Templates and captions are loaded with a limit of 999 characters.
constexpr std::size_t SFX_TEXT_LIMIT = 999;
}  // namespace

int sfx_show_message(int caption, int text, const char* arg, bool info) {
  char cap[SFX_PATH_ROOM];
  char tmpl[SFX_PATH_ROOM];
  char body[SFX_PATH_ROOM];
  if (!sfx_platform_load_string(caption, cap, SFX_TEXT_LIMIT)) cap[0] = 0;
  if (!sfx_platform_load_string(text, tmpl, SFX_TEXT_LIMIT)) tmpl[0] = 0;
  sfx_format(body, sizeof body, tmpl, arg);
  sfx_platform_message_box(cap, body, info);
  return 0;
}

void sfx_show_status(int text, const char* arg) {
  char tmpl[SFX_PATH_ROOM];
  char body[SFX_PATH_ROOM];
  if (!sfx_platform_load_string(text, tmpl, SFX_TEXT_LIMIT)) tmpl[0] = 0;
  sfx_format(body, sizeof body, tmpl, arg);
  sfx_platform_set_status(body);
}

void sfx_set_progress(long position) {
  sfx_platform_set_progress(sfx_percent(position, sfx_progress_base, sfx_progress_end));
}

void sfx_fail(int text, const char* arg, int closing, int caption) {
  sfx_show_message(caption, text, arg, false);
  sfx_show_message(SFX_CAP_ERROR, closing, closing == SFX_MSG_CLOSING ? "" : sfx_work_dir, true);
  sfx_platform_exit(1);
}
