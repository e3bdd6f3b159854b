// Member extraction: one member's header, data packets and end.
#include <cstring>

#include "archive.h"
#include "checksum.h"
#include "fs_code.h"
#include "record.h"
#include "sfx.h"
#include "sfx_platform.h"

namespace {

// Creates the member's directory below the work directory, one level at a
// time, so that a nested directory gets its missing parents. The directory
// has passed the archive's path check, so every level stays inside, unless
// a level is a link: nothing is created through one.
void make_member_dir(const char* dir) {
  char path[SFX_PATH_ROOM];
  if (!sfx_join(path, sizeof path, sfx_work_dir, dir)) return;
  const std::size_t start = std::strlen(sfx_work_dir);
  for (std::size_t i = start; path[i]; ++i) {
    if (sfx_is_sep(path[i]) && i > start && !sfx_is_sep(path[i - 1])) {
      const char sep = path[i];
      path[i] = 0;
      if (sfx_platform_is_link(path)) return;
      sfx_platform_make_dir(path);
      path[i] = sep;
    }
  }
  if (!sfx_platform_is_link(path)) sfx_platform_make_dir(path);
}

// True when no directory level of the output path below the work directory
// is a link (the work directory itself is the user's choice).
bool no_link_on_the_way(const char* output) {
  char path[SFX_PATH_ROOM];
  std::strcpy(path, output);
  const std::size_t start = std::strlen(sfx_work_dir);
  for (std::size_t i = start; path[i]; ++i) {
    if (sfx_is_sep(path[i]) && i > start && !sfx_is_sep(path[i - 1])) {
      const char sep = path[i];
      path[i] = 0;
      if (sfx_platform_is_link(path)) return false;
      path[i] = sep;
    }
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
  make_member_dir(dir);

  // The work directory is shared: links planted there are neither entered
  // nor written through.
  std::FILE* out = no_link_on_the_way(output) ? sfx_platform_create_file(output) : nullptr;
  if (!out) sfx_fail(SFX_MSG_OPEN_WRITE, output, SFX_MSG_CLOSING_FILES);

  // The walk stands inside the member now; it reads on to the member end.
  std::uint32_t crc = SFX_CRC_EMPTY;
  for (;;) {
    const int step = sfx_walker_next(&sfx_archive_walk);
    if (step == SFX_STEP_DATA) {
      if (record.has_crc) crc = sfx_crc32c(crc, sfx_packet->data, sfx_packet->unpacked_len);
      if (std::fwrite(sfx_packet->data, 1, sfx_packet->unpacked_len, out) !=
          sfx_packet->unpacked_len)
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
  // Buffered data is written at the close: a failure there is a short write.
  if (std::fclose(out) != 0)
    sfx_fail(SFX_MSG_WRITE, output, SFX_MSG_CLOSING_FILES, SFX_CAP_PROBLEM);
  if (control) sfx_control_extracted = true;
  if (!sfx_platform_set_file_time(output, time))
    sfx_show_message(SFX_CAP_ERROR, SFX_MSG_FILE_TIME, output, false);
}
