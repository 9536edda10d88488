# Cross-compiles for Linux on 64-bit ARM (arm64) with Debian's g++-aarch64-linux-gnu
# (scripts/test-cross).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QWF_CROSS_TRIPLET aarch64-linux-gnu)
set(QWF_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
