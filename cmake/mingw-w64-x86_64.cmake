# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# The -posix compilers, because the module uses std::atomic and std::this_thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QWF_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QWF_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QWF_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QWF_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QWF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
