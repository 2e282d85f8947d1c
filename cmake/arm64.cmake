# 64-bit ARM (Raspberry Pi OS 64-bit, Debian arm64).
set(TESSEL_CROSS_TRIPLET aarch64-linux-gnu)
set(TESSEL_CROSS_PROCESSOR aarch64)
set(TESSEL_CROSS_QEMU aarch64)
set(TESSEL_CROSS_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
