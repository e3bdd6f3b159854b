// Member extraction: one member's header, data packets and end.
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "checksum.h"
#include "fs_code.h"
#include "record.h"
#include "sfx.h"
#include "sfx_platform.h"

namespace {

// The folders the previous member's file went into, as the platform holds
// them: the parts of its path below the work directory, each ended by a
// 0 byte, one per held level (SFX_PATH_ROOM bytes, taken from the heap when
// the first member comes: a zeroed array would be carried in the stub's
// file).
char* g_held = nullptr;
int g_held_levels = 0;

// Enters the folders of a member's file, level by level below the work
// directory: the parts of its directory, made where missing, then those of
// its file name but the last, which only earlier members can have made.
// Where the path begins as the previous member's did, those folders are
// held already and were checked when they were entered; only the rest is
// checked and made now. The path has passed the archive's path check, so
// every level stays inside, and none is a link: a level that is one is
// neither entered nor made through. False when a level cannot be entered.
bool enter_member_dirs(const char* dir, const char* name) {
  if (!g_held && !(g_held = static_cast<char*>(std::malloc(SFX_PATH_ROOM)))) return false;
  char path[SFX_PATH_ROOM];
  std::size_t n = std::strlen(sfx_work_dir);
  std::memcpy(path, sfx_work_dir, n);
  int level = 0;
  std::size_t held_at = 0;  // where level's part stands in g_held
  bool same = true;         // the levels so far are the held ones
  const char* texts[2] = {dir, name};
  for (int t = 0; t < 2; ++t) {
    const char* cursor = texts[t];
    const char* end = cursor + std::strlen(cursor);
    const char* part = nullptr;
    std::size_t len = 0;
    while (sfx_path_next(&cursor, end, &part, &len)) {
      // The file's own name is no folder.
      if (t == 1 && cursor == end) break;
      if (level >= SFX_DIR_LEVELS || n + len + 2 > sizeof path || held_at + len + 1 > SFX_PATH_ROOM)
        return false;
      if (level > 0) path[n++] = '/';
      std::memcpy(path + n, part, len);
      n += len;
      path[n] = 0;
      same = same && level < g_held_levels && std::strlen(g_held + held_at) == len &&
             std::memcmp(g_held + held_at, part, len) == 0;
      if (!same) {
        if (level < g_held_levels) {
          sfx_platform_leave_dirs(level);
          g_held_levels = level;
        }
        if (!sfx_platform_enter_dir(level, path, t == 0)) return false;
        std::memcpy(g_held + held_at, part, len);
        g_held[held_at + len] = 0;
        g_held_levels = level + 1;
      }
      held_at += len + 1;
      ++level;
    }
  }
  // A shallower member lets the deeper folders go.
  if (level < g_held_levels) {
    sfx_platform_leave_dirs(level);
    g_held_levels = level;
  }
  return true;
}

// A name of the member's record, which is UTF-8 already, as a path text.
bool record_text(const char* s, std::size_t n, char* out, std::size_t cap) {
  out[0] = 0;
  if (n >= cap) return false;
  std::memcpy(out, s, n);
  out[n] = 0;
  return true;
}

bool same_name(const char* a, const char* b, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    char x = a[k], y = b[k];
    if (sfx_platform_names_ignore_case) {
      x = static_cast<char>(fs_upper(static_cast<unsigned char>(x)));
      y = static_cast<char>(fs_upper(static_cast<unsigned char>(y)));
    }
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool sfx_is_control_file(const char* dir, const char* name) {
  // The components of directory and name, without empty ones and ".", must
  // be the control file's name alone.
  const char* found = nullptr;
  std::size_t found_len = 0;
  int count = 0;
  const char* parts[2] = {dir, name};
  for (const char* text : parts) {
    const char* end = text + std::strlen(text);
    const char* part = nullptr;
    std::size_t n = 0;
    while (sfx_path_next(&text, end, &part, &n)) {
      if (++count > 1) return false;
      found = part;
      found_len = n;
    }
  }
  const std::size_t len = sizeof SFX_CONTROL_FILE - 1;
  return count == 1 && found_len == len && same_name(found, SFX_CONTROL_FILE, len);
}

void sfx_extract_member() {
  sfx_member member;
  const char* reason = nullptr;
  // A header that cannot be parsed, or whose path would leave the work
  // directory, is not written anywhere: the archive is refused.
  if (sfx_member_check(sfx_packet->data, sfx_packet->unpacked_len, &member, &reason) != SFX_OK)
    sfx_fail(SFX_MSG_UNEXPECTED, sfx_own_path, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);
  // So is a record in the header's spare bytes that is not sound.
  sfx_record record;
  if (sfx_record_read(sfx_packet->data, &member, &record, &reason) != SFX_OK)
    sfx_fail(SFX_MSG_UNEXPECTED, sfx_own_path, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);

  // The names as path texts (the header's bytes are judged above as stored):
  // the record's UTF-8 where it gives them, the same on every code page.
  char dir[SFX_PATH_ROOM];
  char name[SFX_PATH_ROOM];
  const bool dir_named = record.dir ? record_text(record.dir, record.dir_len, dir, sizeof dir)
                                    : sfx_platform_name_text(member.dir, dir, sizeof dir);
  const bool named = (record.name ? record_text(record.name, record.name_len, name, sizeof name)
                                  : sfx_platform_name_text(member.name, name, sizeof name)) &&
                     dir_named;
  char output[SFX_PATH_ROOM];
  if (!named ||
      sfx_member_output_path(sfx_work_dir, dir, name, output, sizeof output) != SFX_OK) {
    // Never cut a path: refuse it, showing as much of it as fits.
    char shown[SFX_PATH_ROOM];
    std::size_t n = 0;
    const char* parts[4] = {sfx_work_dir, dir[0] ? dir : member.dir, "/",
                            name[0] ? name : member.name};
    for (const char* part : parts) {
      sfx_format(shown + n, sizeof shown - n, "%s", part);
      n = std::strlen(shown);
    }
    sfx_fail(SFX_MSG_OPEN_WRITE, shown, SFX_MSG_CLOSING_FILES);
  }
  sfx_show_status(SFX_MSG_PREPARING, output);
  const std::int32_t time = member.time;
  const bool control = sfx_is_control_file(dir, name);

  // The folders, then the file. The work directory is shared: links
  // planted there are neither entered nor written through.
  const sfx_file out = enter_member_dirs(dir, name) ? sfx_platform_create_file(output) : SFX_NO_FILE;
  if (out == SFX_NO_FILE) sfx_fail(SFX_MSG_OPEN_WRITE, output, SFX_MSG_CLOSING_FILES);

  // The walk stands inside the member now; it reads on to the member end.
  // Each data packet is written with one call.
  std::uint32_t crc = SFX_CRC_EMPTY;
  for (;;) {
    const int step = sfx_walker_next(&sfx_archive_walk);
    if (step == SFX_STEP_DATA) {
      if (record.has_crc) crc = sfx_crc32c(crc, sfx_packet->data, sfx_packet->unpacked_len);
      if (!sfx_platform_write_file(out, sfx_packet->data, sfx_packet->unpacked_len))
        sfx_fail(SFX_MSG_WRITE, output, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);
    } else if (step == SFX_STEP_MEMBER_DONE) {
      // Content that its packets' check bytes let pass but its checksum
      // does not is a damaged packet as well.
      if (record.has_crc && crc != record.crc) sfx_fail(SFX_MSG_READ, "", SFX_MSG_CLOSING_FILES);
      break;
    } else if (step == SFX_E_READ) {
      sfx_fail(SFX_MSG_READ, "", SFX_MSG_CLOSING_FILES);
    } else if (step == SFX_E_TOTAL || step == SFX_E_COUNT || step == SFX_E_HEADER_SIZE) {
      sfx_fail(SFX_MSG_MEMBER_END, sfx_own_path, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);
    } else {
      sfx_fail(SFX_MSG_UNEXPECTED, sfx_own_path, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);
    }
  }
  // The time through the handle that wrote the file, after its last write,
  // so that the file is not opened again by name. A failure to close is
  // reported first, as a short write: that ends the run.
  const bool timed = sfx_platform_set_file_time(out, time);
  if (!sfx_platform_close_file(out))
    sfx_fail(SFX_MSG_WRITE, output, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);
  if (control) sfx_control_extracted = true;
  if (!timed) sfx_show_message(SFX_CAP_ERROR, SFX_MSG_FILE_TIME, output, false);
}

void sfx_extract_done() {
  sfx_platform_leave_dirs(-1);
  g_held_levels = 0;
}
