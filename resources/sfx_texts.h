// The stub's texts as C++ tables for the console build, generated from
// resources/texts.txt. Index 0 is English (1033), 1 Czech (1029).
#pragma once

extern const char* const sfx_texts[2][32];
// caption, "please wait" line, Cancel button, version label, product label.
extern const char* const sfx_dialog_texts[2][5];
