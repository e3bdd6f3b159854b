# Cross build for 32-bit Windows with MinGW-w64: the stub that ships, whose
# tests run under 32-bit Wine where the host runs 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QTK_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
