// Mail-out notifications: a body file, attachment copies and a control file
// dropped into <system path>mail\out\ for the gateway process.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fs_internal.h"

namespace {

const char* const kEnd = nullptr;
constexpr std::uint32_t kStampEpoch = 838860800u;  // 1996-08-01 00:53:20 UTC
constexpr std::size_t kWorkRoom = 60000;
constexpr std::size_t kPathRoom = 256;     // paths of at most 255 characters
constexpr std::size_t kSubjectRoom = 255;  // subjects of at most 254 characters
constexpr int kBodyPiece = 509;
constexpr int kBodyPieceWithId = 249;

std::int64_t (*g_clock)(void) = nullptr;
std::uint32_t g_last_second = 0;
std::uint32_t g_counter = 0;

// Base-36 text of v, left-padded with '0' to width and cut to its first
// width characters.
void base36(char* out, std::size_t width, std::uint32_t v) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  char rev[8];
  std::size_t n = 0;
  do {
    rev[n++] = kDigits[v % 36];
    v /= 36;
  } while (v);
  std::size_t o = 0;
  for (std::size_t pad = n; pad < width; ++pad) out[o++] = '0';
  while (n && o < width) out[o++] = rev[--n];
  out[o] = '\0';
}

// The part of a path after its last backslash.
const char* leaf(const char* path) {
  const char* slash = std::strrchr(path, '\\');
  return slash ? slash + 1 : path;
}

// Replaces the last three characters of name (which has at least three).
void set_extension(char* name, const char* ext3) {
  std::memcpy(name + std::strlen(name) - 3, ext3, 3);
}

// Writes key, the value up to its first line break, and a line feed: a value
// cannot add lines of its own to the control file.
void put_line(fs_stream* out, const char* key, const char* value) {
  fs_stream_puts(out, key);
  if (value) fs_stream_write(out, value, std::strcspn(value, "\r\n"));
  fs_stream_puts(out, "\n");
}

void report_pair(const char* first, const char* second) {
  char text[256];
  fs_build(text, sizeof text, "1> ", first, kEnd);
  FS_REPORT(1, FS_EV_COPY, text);
  fs_build(text, sizeof text, "2> ", second, kEnd);
  FS_REPORT(1, FS_EV_COPY, text);
}

// A file of the notification that could not be written whole (a full
// disk): reported like one that cannot be created, and removed, so that no
// half of it stays behind.
void discard(const char* path) {
  fs_plat_delete(path);
  FS_REPORT(1, FS_EV_CREATE, path);
}

struct request {
  const char* user;
  const char* address;
  char gateway;
  const char* language;
  const char* subject_template;
  const char* type;
  char priority;
  const char* body_template;
  const fs_field* fields;
  const char* id;  // null for the plain writer
  int attachment_count;
  const char* const* attachments;
};

int compose(const request& r, const char* sys, char* work) {
  char path[kPathRoom];
  const char* lang = r.language ? r.language : "";
  const char* subj = r.subject_template ? r.subject_template : "";
  const char* body = r.body_template ? r.body_template : "";

  // Subject: the first line of the subject template.
  fs_stream in{};
  if (fs_build(path, sizeof path, sys, "data\\language\\", lang, "\\", subj, ".txt", kEnd) ||
      !fs_stream_open(&in, path, FS_READ_TEXT)) {
    FS_REPORT(1, FS_EV_OPEN, path);
    return 1;
  }
  char line[kSubjectRoom] = "";
  if (!fs_stream_gets(line, sizeof line, &in)) line[0] = '\0';
  fs_stream_close(&in);
  std::size_t len = std::strlen(line);
  static const char kTrim[] = "\r\n\r\n";
  for (const char* end = kTrim; *end; ++end)
    if (len && line[len - 1] == *end) line[--len] = '\0';

  // Body template: .rtf first, then .txt.
  char ext[4] = "rtf";
  if (fs_build(path, sizeof path, sys, "data\\language\\", lang, "\\", body, ".rtf", kEnd) ||
      !fs_stream_open(&in, path, FS_READ_TEXT)) {
    std::strcpy(ext, "txt");
    if (fs_build(path, sizeof path, sys, "data\\language\\", lang, "\\", body, ".txt", kEnd) ||
        !fs_stream_open(&in, path, FS_READ_TEXT)) {
      FS_REPORT(1, FS_EV_OPEN, path);
      return 1;
    }
  }

  char outdir[kPathRoom];
  const char prefix[3] = {r.gateway, 'z', '\0'};
  char body_path[kPathRoom];
  fs_stream out{};
  const bool dir_fits = fs_build(outdir, sizeof outdir, sys, "mail\\out\\", kEnd) == 0;
  if (!dir_fits || fs_stamp_name(outdir, prefix, "888", body_path, sizeof body_path)) {
    fs_stream_close(&in);
    FS_REPORT(1, FS_EV_CREATE, outdir);
    return 1;
  }
  set_extension(body_path, ext);
  if (!fs_stream_open(&out, body_path, FS_WRITE_TEXT)) {
    fs_stream_close(&in);
    FS_REPORT(1, FS_EV_CREATE, body_path);
    return 1;
  }

  char subject[kSubjectRoom];
  if (r.fields)
    fs_substitute(r.fields, '%', '#', line, subject, sizeof subject);
  else
    fs_copy(subject, sizeof subject, line);

  // The body, piece by piece. A last line without a line break is copied too.
  char piece[kBodyPiece + 1];
  const int piece_read = (r.id ? kBodyPieceWithId : kBodyPiece) + 1;
  while (fs_stream_gets(piece, piece_read, &in)) {
    if (r.fields) {
      fs_substitute(r.fields, '%', '#', piece, work, kWorkRoom);
      fs_stream_puts(&out, work);
    } else {
      fs_stream_puts(&out, piece);
    }
  }
  fs_stream_close(&in);
  if (!fs_stream_close(&out)) {
    discard(body_path);
    return 1;
  }

  char control[kPathRoom];
  if (fs_stamp_name(outdir, prefix, "888", control, sizeof control) ||
      !fs_stream_open(&out, control, FS_WRITE_TEXT)) {
    FS_REPORT(1, FS_EV_CREATE, control[0] ? control : outdir);
    return 1;
  }
  fs_stream_puts(&out, "[system]\n");
  put_line(&out, "type=", r.type);
  put_line(&out, "subject=", subject);
  if (r.id) put_line(&out, "id=", r.id);
  put_line(&out, "msg=", leaf(body_path));
  const char priority[2] = {r.priority, '\0'};
  put_line(&out, "priority=", priority);

  bool copy_failed = false;
  for (int i = 0; i < r.attachment_count; ++i) {
    const char* source = r.attachments ? r.attachments[i] : nullptr;
    char target[kPathRoom];
    const bool named = fs_stamp_name(outdir, prefix, "888", target, sizeof target) == 0;
    // A source path shorter than three characters has no extension to give
    // its copy: it is refused like a failed copy.
    const std::size_t n = source ? std::strlen(source) : 0;
    if (named && n >= 3) set_extension(target, source + n - 3);
    if (!named || n < 3 || !fs_plat_copy(source, target)) {
      report_pair(source ? source : "", target);
      copy_failed = true;
    }
    put_line(&out, "data=", leaf(target));
  }

  fs_stream_puts(&out, "\n[to]\n");
  put_line(&out, "username=", r.user);
  const char gateway[2] = {r.gateway, '\0'};
  put_line(&out, "gateway=", gateway);
  put_line(&out, "email=", r.address);
  // A control file that is not whole never gets its final name: the gateway
  // would act on it.
  if (!fs_stream_close(&out)) {
    discard(control);
    return 1;
  }

  char final_name[kPathRoom];
  fs_copy(final_name, sizeof final_name, control);
  set_extension(final_name, "ctl");
  if (!fs_plat_rename(control, final_name)) {
    report_pair(control, final_name);
    return 4;
  }
  return copy_failed ? 2 : 0;
}

int write_notification(const request& r) {
  char* work = static_cast<char*>(std::malloc(kWorkRoom));
  if (!work) {
    FS_REPORT(1, FS_EV_TRACE_CONFIG, "no memory");
    return 3;
  }
  char* sys = fs_reg_get("global", "system", "path");
  if (!sys) {
    FS_REPORT(1, FS_EV_SETTING_MISSING, "global.system.path");
    std::free(work);
    return 3;
  }
  const int result = compose(r, sys, work);
  std::free(sys);
  std::free(work);
  return result;
}

}  // namespace

void fs_set_clock(std::int64_t (*clock)(void)) { g_clock = clock; }

int fs_stamp_name(const char* dir, const char* prefix, const char* ext, char* out,
                  std::size_t room) {
  const std::int64_t now = g_clock ? g_clock() : static_cast<std::int64_t>(std::time(nullptr));
  const auto second = static_cast<std::uint32_t>(now);
  if (second == g_last_second) {
    ++g_counter;
  } else {
    g_counter = 0;
    g_last_second = second;
  }
  char stamp[8], counter[4];
  base36(stamp, 6, second - kStampEpoch);
  base36(counter, 2, g_counter);
  if (fs_build(out, room, dir, prefix, stamp, counter, ".", ext, kEnd)) {
    if (room) out[0] = '\0';
    return 1;
  }
  return 0;
}

int fs_mail_out(const char* user, const char* address, char gateway, const char* language,
                const char* subject_template, const char* type, char priority,
                const char* body_template, const fs_field* fields, int attachment_count,
                const char* const* attachments) {
  const request r{user,     address,       gateway, language, subject_template,
                  type,     priority,      body_template,     fields,
                  nullptr,  attachment_count, attachments};
  return write_notification(r);
}

int fs_mail_out_id(const char* user, const char* address, char gateway, const char* language,
                   const char* subject_template, const char* type, char priority,
                   const char* body_template, const fs_field* fields, const char* id,
                   int attachment_count, const char* const* attachments) {
  const request r{user,     address,       gateway, language, subject_template,
                  type,     priority,      body_template,     fields,
                  id ? id : "", attachment_count, attachments};
  return write_notification(r);
}

int fs_mail_admin(const char* subject_template, char priority, const char* body_template,
                  const fs_field* fields, int attachment_count, const char* const* attachments) {
  static const char* const kNames[] = {"name", "addr", "addrtype", "gateway", "language"};
  static const char* const kDotted[] = {"global.admin.name", "global.admin.addr",
                                        "global.admin.addrtype", "global.admin.gateway",
                                        "global.admin.language"};
  char* values[5] = {};
  int result = 3;
  char address[kPathRoom];
  for (int i = 0; i < 5; ++i) {
    values[i] = fs_reg_get("global", "admin", kNames[i]);
    // An empty gateway would give file names without their gateway letter.
    if (!values[i] || (i == 3 && !values[i][0])) {
      FS_REPORT(1, FS_EV_SETTING_MISSING, kDotted[i]);
      goto done;
    }
  }
  // "type:address"; one that does not fit is refused like a missing address.
  if (fs_build(address, sizeof address, values[2], ":", values[1], kEnd)) {
    FS_REPORT(1, FS_EV_SETTING_MISSING, kDotted[1]);
    goto done;
  }
  result = fs_mail_out(values[0], address, values[3][0], values[4], subject_template, "EMAIL",
                       priority, body_template, fields, attachment_count, attachments);
done:
  for (char* v : values) std::free(v);
  return result;
}
