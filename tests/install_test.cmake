# Installs the build tree into a scratch DESTDIR and checks what a user and a developer
# get: the programs run, the man pages render without warnings, and a program builds
# against the installed libraries through pkg-config.
# cmake -DBUILD=<build dir> -DCXX=<compiler> [-DCXXFLAGS=<flags the tree was built with>]
#       [-DEMULATOR=<command that runs the target's programs>] [-DALSA=ON when the player
#       has the ALSA output]
#       -P install_test.cmake

separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
set(root ${BUILD}/install-test)
file(REMOVE_RECURSE ${root})
set(ENV{DESTDIR} ${root})
foreach(component "" dev)
  set(args --install ${BUILD} --prefix /usr)
  if(component)
    list(APPEND args --component ${component})
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} ${args} OUTPUT_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake ${args} failed")
  endif()
endforeach()

set(usr ${root}/usr)
find_program(READELF readelf)
foreach(program vexa vexa-decode rivoverd)
  execute_process(COMMAND ${emulator} ${usr}/bin/${program} --version RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status EQUAL 0)
    message(SEND_ERROR "installed ${program} --version: ${status}")
  endif()
  # The package depends on the C library alone, and the player on libasound when it has
  # the ALSA output (a sanitizer tree needs its runtime too).
  set(allowed "libc.so.6")
  if(program STREQUAL "vexa" AND ALSA)
    set(allowed "libasound.so.2;libc.so.6")
  endif()
  if(READELF AND NOT CXXFLAGS)
    execute_process(COMMAND ${READELF} -d ${usr}/bin/${program} OUTPUT_VARIABLE dynamic)
    string(REGEX MATCHALL "NEEDED[^\n]*\\[[^]]*\\]" needed "${dynamic}")
    list(TRANSFORM needed REPLACE ".*\\[(.*)\\]" "\\1")
    list(SORT needed)
    if(NOT needed STREQUAL allowed)
      message(SEND_ERROR "${program} needs [${needed}], not just [${allowed}]")
    endif()
  endif()
endforeach()
file(GLOB_RECURSE units ${usr}/*/rivoverd.service)
file(STRINGS "${units}" exec REGEX "^ExecStart=")
if(NOT exec STREQUAL "ExecStart=/usr/bin/rivoverd")
  message(SEND_ERROR "rivoverd.service (${units}) starts [${exec}]")
endif()
foreach(file share/doc/vexa/copyright share/doc/vexa-dev/copyright)
  if(NOT EXISTS ${usr}/${file})
    message(SEND_ERROR "not installed: ${file}")
  endif()
endforeach()

find_program(MAN man)
foreach(page man1/vexa.1 man1/vexa-decode.1 man8/rivoverd.8)
  set(path ${usr}/share/man/${page})
  if(NOT EXISTS ${path})
    message(SEND_ERROR "not installed: ${page}")
  elseif(MAN)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80 ${MAN} --warnings -l ${path}
                    OUTPUT_VARIABLE text ERROR_VARIABLE warnings RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR warnings OR NOT text MATCHES "MIT")
      message(SEND_ERROR "man -l ${page}: status ${status}, [${warnings}]")
    endif()
  endif()
endforeach()

find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  file(GLOB_RECURSE pcfile ${usr}/rivover.pc)
  get_filename_component(pcdir "${pcfile}" DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} "${pcdir}")
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs vexa-mp3dec rivover
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  separate_arguments(flags)
  separate_arguments(extra UNIX_COMMAND "${CXXFLAGS}")
  file(WRITE ${root}/user.cpp [[
#include <mp3dec.h>
#include <rivover.h>
alignas(MP3_INSTANCE_ALIGN) tMPEGInstance instance;
int main() {
    MP3InitInstance(&instance);
    return ctl_expects_reply(CTL_CMD_PLAY_TIME) ? 0 : 1;
}
]])
  execute_process(COMMAND ${CXX} -std=c++20 ${extra} ${root}/user.cpp ${flags} -o ${root}/user
                  RESULT_VARIABLE built ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR NOT built EQUAL 0)
    message(SEND_ERROR "building against the installed libraries (${flags}): ${errors}")
  endif()
endif()
file(REMOVE_RECURSE ${root})
