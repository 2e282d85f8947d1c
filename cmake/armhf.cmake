# 32-bit ARM with hardware floating point (Raspberry Pi OS 32-bit, Debian armhf).
set(TESSEL_CROSS_TRIPLET arm-linux-gnueabihf)
set(TESSEL_CROSS_PROCESSOR arm)
set(TESSEL_CROSS_QEMU arm)
set(TESSEL_CROSS_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# Debian 13 rebuilt armhf with 64-bit time (its libraries renamed ...t64), so programs built
# against its libraries must have it too, and then read dates past 2038. Debian 12's libraries
# keep 32 bits, and so do programs built against them.
# (CMakeLists.txt defines it: flags given here would give way to a CMAKE_CXX_FLAGS of the caller's.)
file(STRINGS /etc/os-release TESSEL_OS_RELEASE REGEX "^VERSION_ID=|^VERSION_CODENAME=")
if(NOT TESSEL_OS_RELEASE MATCHES "VERSION_ID=\"?12|VERSION_CODENAME=bookworm")
  set(TESSEL_TIME64 ON)
endif()
