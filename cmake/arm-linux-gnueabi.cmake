# Cross build for 32-bit ARM without a floating-point unit (armel): ARM9 and ARM11 boards.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake                       ARMv5TE (ARM926EJ-S)
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake -DVEXA_ARM_ARCH=armv6  ARMv6 (ARM1136J-S)
# Both have the DSP multiplies (smulw*, smlaw*, smull, smlal) that the decoder's ARM paths
# select through __ARM_ARCH and __ARM_FEATURE_DSP; floating point stays in software. The
# programs run under qemu-arm with the matching processor, so an instruction the core
# lacks stops a test.
set(VEXA_ARM_ARCH armv5te CACHE STRING "ARM architecture of the armel target: armv5te or armv6")
set_property(CACHE VEXA_ARM_ARCH PROPERTY STRINGS armv5te armv6)
if(VEXA_ARM_ARCH STREQUAL "armv5te")
  set(VEXA_ARM_TUNE arm926ej-s)
  set(VEXA_CROSS_QEMU_CPU arm926)
elseif(VEXA_ARM_ARCH STREQUAL "armv6")
  set(VEXA_ARM_TUNE arm1136j-s)
  set(VEXA_CROSS_QEMU_CPU arm1136)
else()
  message(FATAL_ERROR "VEXA_ARM_ARCH is ${VEXA_ARM_ARCH}: armv5te or armv6")
endif()
# The test projects that CMake builds to check the compiler see the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEXA_ARM_ARCH)
set(VEXA_ARM_FLAGS "-march=${VEXA_ARM_ARCH} -mtune=${VEXA_ARM_TUNE} -marm -mfloat-abi=soft")
set(CMAKE_C_FLAGS_INIT "${VEXA_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${VEXA_ARM_FLAGS}")

set(VEXA_CROSS_TRIPLET arm-linux-gnueabi)
set(VEXA_CROSS_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
