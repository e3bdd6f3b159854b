// What the rooms of the console build share: paths below the work
// directory as the host takes them, the test switches of the environment,
// lines on the terminal, and the lock's entry for the setup program.
#pragma once

#include <cstddef>

#include "sfx.h"

// Windows takes `\` for a separator as well as `/`: below the work
// directory (a member's directory such as ".\DATA", the setup program's
// path) it becomes `/` here. The work directory is the system's own and
// keeps its bytes.
const char* sfx_con_host_path(const char* path, char (&out)[SFX_PATH_ROOM]);
// True when the variable is set to something other than "" or "0".
bool sfx_con_env_set(const char* name);
// The four texts as one line on standard output, CR LF flattened into
// " / ", in one write so that the threads' lines never mix.
void sfx_con_print_line(const char* a, const char* b, const char* c, const char* d);
// The work directories held up the chain, ours last, as the setup
// program's environment gets them ("QTKSFX_WORK_LOCK=key;key"); empty
// while this installer holds no lock.
extern char sfx_con_lock_entry[2 * SFX_PATH_ROOM];
