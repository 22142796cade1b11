# vexa_public_libraries(BASE NAME SOVERSION MAP LIST): from the object library
# BASE_objects (built position-independent with hidden symbols), the shared library
# libNAME.so.SOVERSION (target BASE_shared) that exports what the version script MAP lets
# out, and the static libNAME.a (target BASE_static). LIST names the symbols the shared
# library exports: the tests (abi_symbols.NAME) check it against the library, so that a
# change of the interface has to change the list on purpose. The shared libraries are
# listed in the global property VEXA_PUBLIC_LIBRARIES, each with its LIST as the target
# property VEXA_EXPORTS.
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
  set_target_properties(${base}_shared PROPERTIES VEXA_EXPORTS ${list})
  set_property(GLOBAL APPEND PROPERTY VEXA_PUBLIC_LIBRARIES ${base}_shared)
  add_library(${base}_static STATIC $<TARGET_OBJECTS:${base}_objects>)
  set_target_properties(${base}_static PROPERTIES OUTPUT_NAME ${name})
endfunction()
