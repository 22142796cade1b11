# Shared part of the cross toolchain files: Debian's cross compilers for
# VEXA_CROSS_TRIPLET, the target's own libraries (the cross toolchain's under
# /usr/<triplet> and multiarch packages such as libgtest-dev:<arch>), and qemu-user to run
# the target's programs on the build machine (test discovery, ctest, and the programs the
# tests start).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VEXA_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VEXA_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VEXA_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# VEXA_CROSS_QEMU_CPU, where set, is the processor qemu emulates (else its most capable one).
find_program(VEXA_CROSS_QEMU_PATH ${VEXA_CROSS_QEMU})
if(VEXA_CROSS_QEMU_PATH)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXA_CROSS_QEMU_PATH} -L /usr/${VEXA_CROSS_TRIPLET})
  if(VEXA_CROSS_QEMU_CPU)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -cpu ${VEXA_CROSS_QEMU_CPU})
  endif()
  # For scripts that run the tree's programs (.ci/compare-targets).
  set(VEXA_CROSS_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR}" CACHE INTERNAL "")
endif()

# pkg-config looks at the target's libraries only (multiarch packages such as
# libasound2-dev:<arch>), never at the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VEXA_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
