# Cross build for 64-bit ARM boards (Debian arm64), the same way as
# cmake/armhf.cmake, with qemu-aarch64. time_t, long and off_t are 64 bits
# here already.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KZ_CROSS_TRIPLE aarch64-linux-gnu)
set(KZ_CROSS_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
