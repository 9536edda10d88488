# Cross-compiles for Linux on another processor with Debian's cross compiler for
# QWF_CROSS_TRIPLET, against a private sysroot of unpacked Debian packages (QWF_CROSS_SYSROOT:
# libpng, zlib, libsndfile, libchafa, alsa-lib, SDL2, GoogleTest, CLI11; scripts/test-cross makes it). The C and
# C++ runtime come from the cross compiler's own /usr/TRIPLET. Programs run under qemu-user, with the
# sysroot's libraries on their library path. Included by the per-architecture files
# cmake/linux-*.cmake, which set QWF_CROSS_TRIPLET and QWF_CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QWF_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QWF_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QWF_CROSS_TRIPLET})

# try_compile projects read this file again and need the sysroot too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QWF_CROSS_SYSROOT)
if(NOT QWF_CROSS_SYSROOT)
  message(FATAL_ERROR "Set QWF_CROSS_SYSROOT to the sysroot scripts/test-cross makes.")
endif()
# The sysroot's library folders, libpulse's private one included.
set(QWF_CROSS_LIBDIR ${QWF_CROSS_SYSROOT}/usr/lib/${QWF_CROSS_TRIPLET})
set(QWF_CROSS_LIBRARY_PATH "${QWF_CROSS_LIBDIR}:${QWF_CROSS_LIBDIR}/pulseaudio")
string(APPEND QWF_CROSS_LIBRARY_PATH ":${QWF_CROSS_SYSROOT}/lib/${QWF_CROSS_TRIPLET}")

set(CMAKE_FIND_ROOT_PATH ${QWF_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Multiarch headers (SDL's configuration) and the libraries' own dependencies, which the
# linker must see when it links a program. -Wno-psabi: ARM's notes that GCC 7.1 changed how
# some arguments are passed, which matter only next to code built by older compilers.
set(CMAKE_C_FLAGS_INIT "-isystem ${QWF_CROSS_SYSROOT}/usr/include/${QWF_CROSS_TRIPLET} -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,-rpath-link,${QWF_CROSS_LIBRARY_PATH}")
endforeach()

set(ENV{PKG_CONFIG_LIBDIR} "${QWF_CROSS_LIBDIR}/pkgconfig:${QWF_CROSS_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${QWF_CROSS_SYSROOT}")

# No binfmt here: ctest, test discovery and the tests that start programs go through qemu
# (scripts/test-cross reads the cached copy to start quorvel itself).
find_program(QWF_CROSS_QEMU_PROGRAM ${QWF_CROSS_QEMU} REQUIRED)  # a full path, for execve
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${QWF_CROSS_QEMU_PROGRAM} -L /usr/${QWF_CROSS_TRIPLET} -E LD_LIBRARY_PATH=${QWF_CROSS_LIBRARY_PATH})
set(QWF_CROSS_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR} CACHE INTERNAL "starts a built program")
