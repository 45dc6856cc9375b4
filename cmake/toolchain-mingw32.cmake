# 32-bit Windows with Debian's mingw-w64 (posix thread model, so std::thread
# and GoogleTest's threading work). Everything is linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# Libraries built by scripts/setup.sh.
get_filename_component(_quasto_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(QUASTO_MINGW_PREFIX "${_quasto_root}/.deps/mingw32" CACHE PATH "mingw dependency prefix")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE} ${QUASTO_MINGW_PREFIX})
set(CMAKE_PREFIX_PATH ${QUASTO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
