# Cross-compiles for Linux on 32-bit ARM (armhf) with Debian's g++-arm-linux-gnueabihf
# (scripts/test-cross).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QWF_CROSS_TRIPLET arm-linux-gnueabihf)
set(QWF_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
