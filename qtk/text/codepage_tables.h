// The tables of the code pages that qtk takes for member names
// (codepage_ansi.cpp and codepage_oem.cpp, written by
// scripts/gen_codepage_tables.cpp). codepage.cpp converts with them, the
// same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qtk {

// Decoding joins a character and the mark after it into this one.
struct CodePageJoin {
  char16_t first, mark, joined;
};
// Encoding writes this character, which the page has no byte of, as a
// letter and its marks (unused bytes 0).
struct CodePageSplit {
  char16_t c;
  std::uint8_t bytes[3];
};

struct CodePageTable {
  unsigned number;             // 0 ends a list
  const char16_t* high;        // the characters of bytes 0x80-0xFF; 0: none
  const CodePageJoin* joins;   // sorted by first and mark
  std::size_t join_count;
  bool join_again;              // a joined character may join the next mark as well
  const CodePageSplit* splits;  // sorted by character
  std::size_t split_count;
};

extern const CodePageTable kCodePagesAnsi[];
extern const CodePageTable kCodePagesOem[];

}  // namespace qtk
