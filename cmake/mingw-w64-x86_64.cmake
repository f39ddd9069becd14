# Cross-build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix).
# Test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_lyrx_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_lyrx_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_lyrx_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_lyrx_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_lyrx_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The GCC, C++ and threads runtimes go inside every binary, so the DLL and the
# test programs need no MinGW DLL beside them: only the system's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

find_program(LYRX_WINE NAMES wine64 wine)
if(LYRX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LYRX_WINE})
endif()
