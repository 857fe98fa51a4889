# Cross build of the Windows package with MinGW-w64: 64-bit, POSIX threads model (std::thread),
# everything linked statically so that tapcal.exe and the DLLs need no MinGW runtime DLLs.
#   cmake -S . -B build-win --toolchain cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAPCAL_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAPCAL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAPCAL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TAPCAL_MINGW}-windres)
set(CMAKE_DLLTOOL ${TAPCAL_MINGW}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${TAPCAL_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
