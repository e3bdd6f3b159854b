// Shared services library: configuration files, event-log reporting,
// settings lookup, language templates, service flag files and mail-out
// notifications for the Relaymark services and the installer stub.
//
// Plain records and free functions over process-wide state. Operations that
// hand over a text or a table leave its release to the caller (fs_ini_free,
// fs_fields_free, fs_catalog_free, or free() for a single text).
#ifndef QTK_FS_CODE_H
#define QTK_FS_CODE_H

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Configuration files: [section] headers and key=value lines, ';' comments.

struct fs_ini_entry {
  char section[15];  // upper case as read; "ALL" before any header; "***" deleted; empty = end
  char key[20];
  char value[127];
};

// Reads a file into a new table that ends with an entry whose section is
// empty. Null when the file cannot be opened (after 11 attempts 10 ms apart)
// or memory runs out; both are reported to the event log.
fs_ini_entry* fs_ini_read(const char* path);
// The same table from a text in memory, read as fs_ini_read reads a file
// (CR LF is a line end, Ctrl-Z ends the text). Null when memory runs out
// (not reported).
fs_ini_entry* fs_ini_parse(const char* text, std::size_t len);
// First / last entry whose section and key equal the given ones (ASCII case
// ignored). Null when none matches.
fs_ini_entry* fs_ini_find(fs_ini_entry* table, const char* section, const char* key);
fs_ini_entry* fs_ini_find_last(fs_ini_entry* table, const char* section, const char* key);
// A new table: the old entries followed by a copy of `entry`; the old table
// is released. Null when memory runs out (the old table then stays valid).
fs_ini_entry* fs_ini_append(fs_ini_entry* table, const fs_ini_entry* entry);
// Marks the entry deleted (section "***"); it keeps its place.
void fs_ini_delete(fs_ini_entry* entry);
// Writes every entry that is not deleted as "[section]\nkey=value\n".
// 0 when written, 1 when the file cannot be created or not be written whole.
int fs_ini_write(const fs_ini_entry* table, const char* path);
void fs_ini_free(fs_ini_entry* table);
// Removes leading and trailing spaces (code 32 only) in place.
char* fs_trim(char* text);
// An ASCII letter in upper case; any other byte as it is.
inline int fs_upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }
// Writes v in decimal with at least min_digits digits (leading zeros) and a
// zero byte, without the printf family: at most 11 bytes. Returns the number
// of digits.
int fs_decimal(char* out, unsigned v, int min_digits);
void fs_sleep(unsigned milliseconds);
#ifdef _WIN32
// From now on the paths of the files that the library opens (configuration
// files, templates, catalogues, ...) are UTF-8 and opened through the wide
// calls; until then they are in the system's code page.
void fs_paths_utf8();
#endif

// ---------------------------------------------------------------------------
// Event log. Components: 0..10 fixed names, 100..299 "(d)" line drivers,
// 300 and above "(i)" line drivers. Levels: 1 error, 2 warning,
// 3 information, 4 audit failure, anything else error.

enum : unsigned {
  FS_EVENT_ERROR = 0x0001,
  FS_EVENT_WARNING = 0x0002,
  FS_EVENT_INFORMATION = 0x0004,
  FS_EVENT_AUDIT_FAILURE = 0x0010,
};

// The library reports as this component.
constexpr int FS_COMPONENT = 9;

// Event identifiers written by the library.
constexpr std::uint32_t FS_EV_TRACE_CONFIG = 0x40000002u;  // also "no memory" in mail-out
constexpr std::uint32_t FS_EV_NO_MEMORY = 0xC0000001u;
constexpr std::uint32_t FS_EV_KEY_CLOSE = 0xC0000003u;
constexpr std::uint32_t FS_EV_OPEN = 0xC0000005u;
constexpr std::uint32_t FS_EV_TRACE_WALK = 0xC0000006u;
constexpr std::uint32_t FS_EV_TRACE_CATALOG = 0xC0000007u;
constexpr std::uint32_t FS_EV_SETTING_MISSING = 0xC0000008u;
constexpr std::uint32_t FS_EV_CREATE = 0xC0000009u;
constexpr std::uint32_t FS_EV_COPY = 0xC000000Au;
constexpr std::uint32_t FS_EV_SETTING_UNREADABLE = 0xC000000Bu;

// Library-wide trace level 0..5; information traces only above 4.
extern int fs_trace_level;

// Writes one entry with the insertion strings `text` and `location`. Always 0.
int fs_report(int component, int level, std::uint32_t event, const char* text,
              const char* location);
// The same with the component's extra label as the second string. Always 0.
int fs_report_brief(int component, int level, std::uint32_t event, const char* text);
// Resets the library-wide state: trace level 0, flag poll pattern cleared.
void fs_init(void);

// Event source name of a component (for diagnostics and tests).
const char* fs_source_name(int component);

// Event log back end. While a sink is installed every report goes to it
// instead of the platform log (syslog natively, the Windows event log on
// Win32). open() returns null when the source cannot be registered, and then
// nothing is written. fs_set_event_sink(nullptr) restores the platform log.
struct fs_event_sink {
  void* (*open)(void* context, const char* source);
  void (*write)(void* context, void* handle, unsigned type, std::uint32_t event,
                const char* first, const char* second);
  void (*close)(void* context, void* handle);
  void* context;
};
void fs_set_event_sink(const fs_event_sink* sink);

// ---------------------------------------------------------------------------
// Settings lookup: scope.section.name below SOFTWARE\Quillon\Relaymark of
// HKEY_LOCAL_MACHINE. Scopes starting with '0' are local; other scopes are
// read from the machine named by 0local.system.server ('*' = this machine).
// Natively the settings live in a file store (docs/settings-store.md).

// A new text (release with free()), or null. `section` may be null.
char* fs_reg_get(const char* scope, const char* section, const char* name);
char* fs_reg_get_remote(const char* server, const char* scope, const char* section,
                        const char* name);
// Native settings store root; null restores the default (QTK_SETTINGS_ROOT
// from the environment, else /etc/qtk/settings). No effect on Win32.
void fs_settings_root(const char* root);

// ---------------------------------------------------------------------------
// Language templates.

struct fs_field {
  char* name;   // null in the end field
  char* value;
};

// An empty table with room for `capacity` fields including the end field.
fs_field* fs_fields_new(int capacity);
// 0 when added; -1 when memory runs out or the table is full.
int fs_fields_add(fs_field* table, const char* name, const char* value);
void fs_fields_free(fs_field* table);
// Replaces %NAME%, %NAME#W%, %NAME#+W% and %NAME#-W% references (with the
// given delimiter and width mark) by field values. At most room - 1
// characters are written, then a zero byte; values are copied literally.
void fs_substitute(const fs_field* table, char delimiter, char width_mark, const char* source,
                   char* out, std::size_t room);
// Loads a numbered text catalogue: a table of *count slots (numbers 0..top),
// each a text or null. The top is the highest marker number, but no more
// than the file's count of characters. Null when the file cannot be read or
// memory runs out.
char** fs_catalog_load(const char* path, int* count);
void fs_catalog_free(char** table, int count);

// ---------------------------------------------------------------------------
// Service flag files and directory walks.

struct fs_dir_entry {
  char name[512];
  std::int32_t is_directory;
  std::uint32_t size;
  std::int32_t write_time;  // seconds since 1970-01-01 00:00:00 UTC
  std::int8_t mode;         // 1: the walk yields subdirectories, 0: files
  void* search;             // the platform search behind the walk
};

// 0 run, 1 pause, 2 stop, 3 down (also when the system path is missing).
int fs_poll_flags(const char* service);
// mode 1 yields subdirectories (never "." or ".."), any other mode files.
// Null when nothing matches, and when memory runs out (reported).
fs_dir_entry* fs_find_first(const char* pattern, int mode);
// The same record refilled, or null at the end (the record is then released).
fs_dir_entry* fs_find_next(fs_dir_entry* entry);
// Ends a walk early and releases its record.
void fs_find_close(fs_dir_entry* entry);

// ---------------------------------------------------------------------------
// Mail-out notifications dropped into <system path>mail\out\.

// Writes dir + prefix + 6-character time stamp + 2-character counter + "." +
// ext into out. 0, or 1 (and an empty text) when it does not fit in room.
int fs_stamp_name(const char* dir, const char* prefix, const char* ext, char* out,
                  std::size_t room);
// Result codes: 0 complete, 1 template/output failure (also a body or
// control file that could not be written whole: it is removed, and the
// control file never gets its final name), 2 complete but an
// attachment was not copied, 3 no memory or a setting missing, 4 control file
// not renamed.
int fs_mail_out(const char* user, const char* address, char gateway, const char* language,
                const char* subject_template, const char* type, char priority,
                const char* body_template, const fs_field* fields, int attachment_count,
                const char* const* attachments);
int fs_mail_out_id(const char* user, const char* address, char gateway, const char* language,
                   const char* subject_template, const char* type, char priority,
                   const char* body_template, const fs_field* fields, const char* id,
                   int attachment_count, const char* const* attachments);
int fs_mail_admin(const char* subject_template, char priority, const char* body_template,
                  const fs_field* fields, int attachment_count, const char* const* attachments);
// Clock behind the stamps (seconds since 1970); null restores the real clock.
void fs_set_clock(std::int64_t (*clock)(void));

#endif
