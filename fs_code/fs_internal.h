// Library-internal helpers: reporting macros, bounded text building, the
// text-mode stream and the platform seam. Not part of the public interface.
#ifndef QTK_FS_INTERNAL_H
#define QTK_FS_INTERNAL_H

#include <cstdio>

#include "fs_code.h"

#if defined(__FILE_NAME__)
#define FS_SOURCE_FILE __FILE_NAME__
#else
#define FS_SOURCE_FILE __FILE__
#endif

// Reports as the library's own component with "[file:line]" as location.
int fs_report_at(int level, std::uint32_t event, const char* text, const char* file,
                 unsigned line);
#define FS_REPORT(level, event, text) \
  fs_report_at((level), (event), (text), FS_SOURCE_FILE, static_cast<unsigned>(__LINE__))
#define FS_TRACE(event, text)                    \
  do {                                           \
    if (fs_trace_level > 4) FS_REPORT(3, (event), (text)); \
  } while (0)

// Concatenates the texts up to a null pointer into out. Returns 0 when the
// whole result fits in room (with its zero byte); otherwise out holds the
// cut result and 1 is returned.
int fs_build(char* out, std::size_t room, ...);
// Copies at most room - 1 characters of text and ends them with a zero byte.
void fs_copy(char* out, std::size_t room, const char* text);
// ASCII case-insensitive comparison of whole texts: 0 when equal.
int fs_casecmp(const char* a, const char* b);
// A new heap copy of text, or null.
char* fs_strdup(const char* text);

// File stream with the same text-mode behaviour on every platform: reading
// turns CR LF into LF and stops at Ctrl-Z; writing turns LF into CR LF.
// A stream may also read a text in memory, with the same rules. A write
// that does not go through whole marks the stream failed; fs_stream_close
// then says so.
enum fs_stream_mode { FS_READ_TEXT, FS_WRITE_TEXT, FS_WRITE_BINARY };
struct fs_stream {
  std::FILE* file;
  bool text;
  bool ended;
  bool failed;      // a write did not go through whole
  const char* mem;  // the text read when there is no file
  std::size_t mem_len, mem_pos;
};
bool fs_stream_open(fs_stream* s, const char* path, fs_stream_mode mode);
// Reads `len` bytes at `text` as FS_READ_TEXT reads a file (no copy is made).
void fs_stream_open_text(fs_stream* s, const char* text, std::size_t len);
// Like fgets: at most size - 1 characters, up to and including a line feed.
// Null when nothing was read.
char* fs_stream_gets(char* buf, int size, fs_stream* s);
void fs_stream_write(fs_stream* s, const char* data, std::size_t n);
void fs_stream_puts(fs_stream* s, const char* text);
void fs_stream_rewind(fs_stream* s);
// Closes the file: true when every write went through and the close (which
// writes what is still buffered) succeeded.
bool fs_stream_close(fs_stream* s);

// Flag poll cache, cleared by fs_init.
extern char fs_flag_pattern[256];
extern bool fs_flag_pattern_valid;

// ---------------------------------------------------------------------------
// Platform seam (platform_win32*.cpp / platform_posix*.cpp).

void* fs_plat_event_open(const char* source);
void fs_plat_event_write(void* handle, unsigned type, std::uint32_t event, const char* first,
                         const char* second);
void fs_plat_event_close(void* handle);
// Opens a file untranslated ("rb" or "wb"); paths may use backslashes.
std::FILE* fs_plat_fopen(const char* path, const char* mode);

// Registry: roots and keys are opaque handles.
void* fs_plat_reg_local_root(void);
void* fs_plat_reg_connect(const char* machine);  // "\\name"; null on failure
void fs_plat_reg_disconnect(void* root);
void* fs_plat_reg_open(void* root, const char* path);  // null on failure
// Reads a value's data into buf; false when missing or larger than size.
bool fs_plat_reg_query(void* key, const char* name, char* buf, std::size_t size);
bool fs_plat_reg_close(void* key);

// Directory search: one platform entry at a time.
struct fs_plat_found {
  char name[512];
  bool is_directory;
  std::uint32_t size;
  std::int32_t write_time;
};
void* fs_plat_find_first(const char* pattern, fs_plat_found* found);  // null: nothing
bool fs_plat_find_next(void* search, fs_plat_found* found);
void fs_plat_find_close(void* search);
// Copy that refuses to overwrite, rename that refuses to overwrite, delete.
bool fs_plat_copy(const char* from, const char* to);
bool fs_plat_rename(const char* from, const char* to);
bool fs_plat_delete(const char* path);
#if !defined(_WIN32)
// Windows-style path to a POSIX one (backslashes become slashes); false when
// it does not fit.
bool fs_posix_path(const char* path, char* out, std::size_t room);
#endif

#endif
