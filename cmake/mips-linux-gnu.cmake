# Cross build for 32-bit big-endian MIPS, to check byte order:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
set(VEXA_CROSS_TRIPLET mips-linux-gnu)
set(VEXA_CROSS_QEMU qemu-mips)
set(CMAKE_SYSTEM_PROCESSOR mips)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
