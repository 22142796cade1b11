# vexa_public_libraries(BASE NAME SOVERSION MAP LIST): from the object library
# BASE_objects (built position-independent with hidden symbols), the shared library
# libNAME.so.SOVERSION (target BASE_shared) that exports what the version script MAP lets
# out, and the static libNAME.a (target BASE_static). With the tests, abi_symbols.NAME
# checks that the shared library exports exactly the symbols listed in LIST: a change of
# the interface has to change the list on purpose.
# A sanitized tree leaves the sanitizer runtime's symbols to the program.
if(VEXA_SANITIZE OR VEXA_FUZZ)
  set(VEXA_NO_UNDEFINED "")
else()
  set(VEXA_NO_UNDEFINED -Wl,-z,defs)
endif()

function(vexa_public_libraries base name soversion map list)
  add_library(${base}_shared SHARED $<TARGET_OBJECTS:${base}_objects>)
  set_target_properties(${base}_shared PROPERTIES OUTPUT_NAME ${name} SOVERSION ${soversion}
                        VERSION ${soversion}.${PROJECT_VERSION} LINKER_LANGUAGE CXX
                        LINK_DEPENDS ${map})
  # Nothing left undefined but what the C library gives; no C++ runtime, no libgcc_s.
  target_link_options(${base}_shared PRIVATE -Wl,--version-script=${map} ${VEXA_NO_UNDEFINED}
                      -Wl,--as-needed -static-libgcc)
  add_library(${base}_static STATIC $<TARGET_OBJECTS:${base}_objects>)
  set_target_properties(${base}_static PROPERTIES OUTPUT_NAME ${name})
  if(VEXA_BUILD_TESTS)
    find_program(VEXA_READELF NAMES ${CMAKE_READELF} readelf)
    add_test(NAME abi_symbols.${name}
             COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:${base}_shared> -DLIST=${list}
                     -DREADELF=${VEXA_READELF} -DSONAME=lib${name}.so.${soversion}
                     -P ${CMAKE_SOURCE_DIR}/tests/abi_symbols_test.cmake)
    set_tests_properties(abi_symbols.${name} PROPERTIES LABELS abi)
  endif()
endfunction()
