# Cross build for 64-bit Windows with Debian's MinGW-w64 (the posix thread
# flavour: the win32 one has no std::thread or std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VOREL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VOREL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VOREL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VOREL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VOREL_MINGW_PREFIX})
# Build tools come from the host; libraries, headers and packages only from
# the target's root.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
