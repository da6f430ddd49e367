# Cross build for Windows with MinGW-w64, for CMAKE_SYSTEM_PROCESSOR (i686 or
# x86_64); tests run under Wine of the same width.
set(CMAKE_SYSTEM_NAME Windows)

set(triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${triple}-g++-win32 ${triple}-g++-posix ${triple}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${triple}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# CTest starts the .exe through Wine: for 64-bit, its 64-bit loader itself,
# as the `wine` script would start the 32-bit one first. A missing Wine leaves
# this empty and the Windows tests then fail, saying so.
# The 64-bit loader also makes the prefix (for both widths): natively.
find_program(WINE64_PROGRAM NAMES wine64 PATHS /usr/lib/wine)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL x86_64)
    set(WINE_PROGRAM ${WINE64_PROGRAM})
else()
    find_program(WINE_PROGRAM NAMES wine)
endif()
if(WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
