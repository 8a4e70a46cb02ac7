# Shared part of the cross toolchains: Debian's cross compilers for
# ZELMO_CROSS_TRIPLET, the target's libraries installed side by side with the
# build machine's (multiarch, /usr/lib/<triplet>), and qemu-user to run what
# the build produces (test discovery, ctest). scripts/cross.sh installs all
# of it.
#
# The including file sets CMAKE_SYSTEM_PROCESSOR, ZELMO_CROSS_TRIPLET and
# ZELMO_CROSS_QEMU before including this one.

set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${ZELMO_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZELMO_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZELMO_CROSS_TRIPLET})

# Libraries and headers of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZELMO_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config answers for the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ZELMO_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# qemu runs the target's own loader, /lib/ld-linux-*.so.*, with the
# multiarch runtime (libc6, libstdc++6 and the libraries of libcurl and
# libdbus for the target). No "-L /usr/<triplet>": the loader there comes
# with the cross compiler, from another glibc build than the multiarch libc6,
# and the two do not mix (threads crash at creation).
find_program(ZELMO_CROSS_QEMU_PATH NAMES ${ZELMO_CROSS_QEMU}-static ${ZELMO_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELMO_CROSS_QEMU_PATH})
