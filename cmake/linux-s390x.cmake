# Cross-compiles for Linux on 64-bit big-endian IBM Z (s390x) with Debian's g++-s390x-linux-gnu
# (scripts/test-cross).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QWF_CROSS_TRIPLET s390x-linux-gnu)
set(QWF_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
