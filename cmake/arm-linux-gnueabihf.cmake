# Cross build for 32-bit ARM with hardware floating point (armhf):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(VEXA_CROSS_TRIPLET arm-linux-gnueabihf)
set(VEXA_CROSS_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
