// The shipping stub inside qtk: the assembler takes its bytes from the file
// that the build names (QTK_STUB_IMAGE), so no copy of it is needed at run
// time. This file holds nothing else; stub.cpp reads the bytes.
#ifndef QTK_STUB_IMAGE
#error "QTK_STUB_IMAGE must name the stub file to carry"
#endif

#if defined(_WIN32)
#define QTK_STUB_SECTION ".section .rdata,\"dr\"\n"
#define QTK_STUB_SECTION_END ".text\n"
#else
#define QTK_STUB_SECTION ".pushsection .rodata,\"a\"\n"
#define QTK_STUB_SECTION_END ".popsection\n"
#endif

// The labels are named as they are declared in stub.cpp, with no prefix of
// the platform's.
asm(QTK_STUB_SECTION
    ".globl qtk_stub_image_begin\n"
    ".globl qtk_stub_image_end\n"
    ".balign 16\n"
    "qtk_stub_image_begin:\n"
    ".incbin \"" QTK_STUB_IMAGE "\"\n"
    "qtk_stub_image_end:\n"
    QTK_STUB_SECTION_END);
