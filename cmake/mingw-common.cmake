# Shared by the MinGW-w64 toolchain files; QTK_MINGW_TRIPLET names the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QTK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QTK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QTK_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QTK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Everything but the system DLLs is linked in, so the programs run from any folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh")
