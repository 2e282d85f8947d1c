# Building for another Debian architecture with Debian's cross toolchain and the multiarch -dev
# packages (libssl-dev:armhf and so on); included by armhf.cmake and arm64.cmake, which name the
# triplet. Headers come from /usr/include, libraries from /usr/lib/TRIPLET, as the cross compiler
# already searches them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TESSEL_CROSS_PROCESSOR})
set(CMAKE_CXX_COMPILER ${TESSEL_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TESSEL_CROSS_TRIPLET})
# GCC's notes that the ARM ABI for passing some types changed in GCC 7.1: everything here is built
# by one compiler, so they tell nothing.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# pkg-config sees only the target's .pc files, unless the caller already chose a folder (the
# check hides the toolkit's that way).
if(NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TESSEL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
endif()

# The tests run through qemu's user-mode emulator, which finds the target's loader and libraries
# where multiarch put them, so no binfmt registration is needed. Debian 12 names it -static;
# on 13 the plain name is the static one.
find_program(TESSEL_CROSS_EMULATOR NAMES qemu-${TESSEL_CROSS_QEMU}-static qemu-${TESSEL_CROSS_QEMU})
if(TESSEL_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSEL_CROSS_EMULATOR})
endif()
