// Library-wide state and its reset.
#include "fs_internal.h"

int fs_trace_level = 0;
char fs_flag_pattern[256] = {};
bool fs_flag_pattern_valid = false;

void fs_init(void) {
  fs_trace_level = 0;
  fs_flag_pattern[0] = '\0';
  fs_flag_pattern_valid = false;
}
