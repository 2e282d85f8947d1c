# 32-bit ARM with hardware floating point (Raspberry Pi OS 32-bit, Debian armhf).
set(TESSEL_CROSS_TRIPLET arm-linux-gnueabihf)
set(TESSEL_CROSS_PROCESSOR arm)
set(TESSEL_CROSS_QEMU arm)
set(TESSEL_CROSS_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
