# Shared part of the mingw-w64 cross toolchains; QIX_MINGW_TRIPLE names the target.
# The -posix compilers are chosen on purpose: the -win32 thread model of GCC 12
# has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QIX_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${QIX_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and tools run under Wine, inside the session the ctest fixtures keep alive.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-exec)
