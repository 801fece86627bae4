# Cross-build for 32-bit Windows with MinGW-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TAVO_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVO_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVO_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVO_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TAVO_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Programs built here run under Wine; the runner picks a machine (prefix) for them.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine/run-in-machine.sh win64)
