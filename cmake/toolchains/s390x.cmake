# 64-bit IBM Z, big-endian (Debian s390x): catches every byte-order mistake in
# the file and wire formats.
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/s390x.cmake ...
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ZELMO_CROSS_TRIPLET s390x-linux-gnu)
set(ZELMO_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
