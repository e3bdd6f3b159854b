// Member extraction: one member's header, data packets and end.
#include <cstring>

#include "archive.h"
#include "sfx.h"
#include "sfx_platform.h"

namespace {

// Creates the member's directory below the work directory, one level at a
// time, so that a nested directory gets its missing parents. The directory
// has passed the archive's path check, so every level stays inside.
void make_member_dir(const char* dir) {
  char path[SFX_PATH_ROOM];
  if (!sfx_join(path, sizeof path, sfx_work_dir, dir)) return;
  const std::size_t start = std::strlen(sfx_work_dir);
  for (std::size_t i = start; path[i]; ++i) {
    if (sfx_is_sep(path[i]) && i > start && !sfx_is_sep(path[i - 1])) {
      path[i] = 0;
      sfx_platform_make_dir(path);
      path[i] = '/';
    }
  }
  sfx_platform_make_dir(path);
}

}  // namespace

void sfx_extract_member() {
  sfx_member member;
  const char* reason = nullptr;
  // A header that cannot be parsed, or whose path would leave the work
  // directory, is not written anywhere: the archive is refused.
  if (sfx_member_check(sfx_packet->data, sfx_packet->unpacked_len, &member, &reason) != SFX_OK)
    sfx_fail(SFX_MSG_UNEXPECTED, sfx_own_path, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);

  char output[SFX_PATH_ROOM];
  if (sfx_member_output_path(sfx_work_dir, member.dir, member.name, output, sizeof output) !=
      SFX_OK) {
    // Never cut a path: refuse it, showing as much of it as fits.
    char shown[SFX_PATH_ROOM];
    std::size_t n = 0;
    const char* parts[4] = {sfx_work_dir, member.dir, "/", member.name};
    for (const char* part : parts) {
      sfx_format(shown + n, sizeof shown - n, "%s", part);
      n = std::strlen(shown);
    }
    sfx_fail(SFX_MSG_OPEN_WRITE, shown, SFX_MSG_CLOSING_FILES);
  }
  sfx_show_status(SFX_MSG_PREPARING, output);
  const std::int32_t time = member.time;
  make_member_dir(member.dir);

  std::FILE* out = std::fopen(output, "wb");
  if (!out) sfx_fail(SFX_MSG_OPEN_WRITE, output, SFX_MSG_CLOSING_FILES);

  sfx_walk walk;
  sfx_walk_init(&walk);
  walk.in_member = 1;
  for (;;) {
    sfx_set_progress(std::ftell(sfx_archive));
    if (packet_read(sfx_packet, sfx_archive) != 0)
      sfx_fail(SFX_MSG_READ, "", SFX_MSG_CLOSING_FILES);
    const int step = sfx_walk_step(&walk, sfx_packet);
    if (step == SFX_STEP_VOLUME) {
      sfx_change_volume();
    } else if (step == SFX_STEP_DATA) {
      if (std::fwrite(sfx_packet->data, 1, sfx_packet->unpacked_len, out) !=
          sfx_packet->unpacked_len)
        sfx_fail(SFX_MSG_WRITE, output, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);
    } else if (step == SFX_STEP_MEMBER_DONE) {
      break;
    } else if (step == SFX_E_TOTAL || step == SFX_E_COUNT || step == SFX_E_HEADER_SIZE) {
      sfx_fail(SFX_MSG_MEMBER_END, sfx_own_path, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);
    } else {
      sfx_fail(SFX_MSG_UNEXPECTED, sfx_own_path, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);
    }
  }
  // Buffered data is written at the close: a failure there is a short write.
  if (std::fclose(out) != 0)
    sfx_fail(SFX_MSG_WRITE, output, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);
  if (!sfx_platform_set_file_time(output, time))
    sfx_show_message(SFX_CAP_ERROR, SFX_MSG_FILE_TIME, output, false);
}
