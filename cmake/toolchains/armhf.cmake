# 32-bit ARM, hard float, little-endian (Debian armhf).
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake ...
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZELMO_CROSS_TRIPLET arm-linux-gnueabihf)
set(ZELMO_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
