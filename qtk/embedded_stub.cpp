// The shipping stub inside qtk: the assembler takes its bytes from the file
// that the build names (QTK_STUB_IMAGE), so no copy of it is needed at run time.
#include "qtk.h"

#ifndef QTK_STUB_IMAGE
#error "QTK_STUB_IMAGE must name the stub file to carry"
#endif

#if defined(_WIN32)
#define QTK_STUB_SECTION ".rdata,\"dr\""
#else
#define QTK_STUB_SECTION ".rodata,\"a\""
#endif

// The labels are given by name on both sides (no platform prefix applies).
asm(".pushsection " QTK_STUB_SECTION "\n"
    ".balign 16\n"
    "qtk_stub_image_begin:\n"
    ".incbin \"" QTK_STUB_IMAGE "\"\n"
    "qtk_stub_image_end:\n"
    ".popsection\n");
extern "C" const std::uint8_t qtk_stub_image_begin[] asm("qtk_stub_image_begin");
extern "C" const std::uint8_t qtk_stub_image_end[] asm("qtk_stub_image_end");

namespace qtk {

const std::uint8_t* embedded_stub(std::size_t& size) {
  size = static_cast<std::size_t>(qtk_stub_image_end - qtk_stub_image_begin);
  return qtk_stub_image_begin;
}

}  // namespace qtk
