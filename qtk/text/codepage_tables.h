// The tables of the code pages that qtk takes for member names
// (codepage_ansi.cpp, codepage_oem.cpp and codepage_dbcs.cpp, written by
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

// A double-byte page: single bytes, pairs of a lead byte (sfx_dbcs_lead)
// and a trail byte 0x40-0xFE, and what encodes otherwise than the first
// code that decodes to it.
struct CodePageOdd {
  char16_t c;
  std::uint16_t code;  // a byte, or lead << 8 | trail; 0: not written at all
};
struct DbcsTable {
  unsigned number;         // 0 ends the list
  const char16_t* high;    // the characters of single bytes 0x80-0xFF; 0: none (lead bytes too)
  const char16_t* pairs;   // 191 per lead byte, in the order of the lead bytes; 0xFFFF: none
  std::size_t rows;
  const CodePageOdd* odd;  // sorted by character
  std::size_t odd_count;
};
constexpr unsigned kDbcsTrailFirst = 0x40, kDbcsTrailLast = 0xFE;

extern const CodePageTable kCodePagesAnsi[];
extern const DbcsTable kCodePagesDbcs[];
extern const CodePageTable kCodePagesOem[];

}  // namespace qtk
