# Cross build for the board: 32-bit ARM, hard float (Debian armhf), with
# Debian's cross compilers and the :armhf development packages through
# multiarch. Programs the build runs itself (the artwork generator, the test
# discovery) run under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KZ_CROSS_TRIPLE arm-linux-gnueabihf)
set(KZ_CROSS_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# 64-bit file offsets and inode numbers: a 32-bit readdir() without them
# fails (EOVERFLOW) on file systems that hand out 64-bit directory offsets,
# and the program's stale-file clean-up of /opt/set lists a directory.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
# No _TIME_BITS=64: Debian 12's armhf libraries are built with a 32-bit
# time_t, and the program hands time values to some of them (libusb's
# event time-outs, ALSA's timestamps); one time_t size on both sides of
# those calls matters more than dates past 2038 on the board. The service
# keyboard reads the kernel's input_event as linux/input.h lays it out for
# this build (16 bytes here).
