# Installs the build tree into a scratch DESTDIR and checks what a user and a developer
# get: the programs run, the man pages render without warnings, and C programs build
# against the installed libraries through pkg-config: the example decodes a file as
# vexa-decode does, and the control client links.
# cmake -DBUILD=<build dir> -DCC=<C compiler> -DSOURCE=<source dir>
#       [-DCXXFLAGS=<flags the tree was built with>]
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
# The unit's exposure (systemd-analyze's score, 0 to 10) stays "OK": 4.0 at most.
find_program(SYSTEMD_ANALYZE systemd-analyze)
if(SYSTEMD_ANALYZE)
  execute_process(COMMAND ${SYSTEMD_ANALYZE} security --offline=yes --threshold=40 ${units}
                  OUTPUT_VARIABLE report ERROR_VARIABLE report RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(SEND_ERROR "rivoverd.service is exposed beyond 4.0:\n${report}")
  endif()
endif()
if(NOT EXISTS ${usr}/lib/sysusers.d/rivoverd.conf)
  message(SEND_ERROR "not installed: lib/sysusers.d/rivoverd.conf")
endif()
foreach(package vexa libvexa-mp3dec0 librivover0 vexa-dev)
  foreach(file copyright changelog.Debian.gz)
    if(NOT EXISTS ${usr}/share/doc/${package}/${file})
      message(SEND_ERROR "not installed: share/doc/${package}/${file}")
    endif()
  endforeach()
endforeach()

find_program(MAN man)
foreach(page man1/vexa.1.gz man1/vexa-decode.1.gz man8/rivoverd.8.gz)
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
  if(NOT status EQUAL 0)
    message(SEND_ERROR "pkg-config --cflags --libs vexa-mp3dec rivover: ${status}")
  endif()
  file(WRITE ${root}/client.c [[
#include <vexa/rivover.h>
#include <string.h>
int main(void) {
    char name[] = "a:b/c?.mp3";
    return strcmp(ctl_sanitize_name(name), "a b c .mp3") == 0 ? 0 : 1;
}
]])
  file(GLOB_RECURSE libs ${usr}/*/libvexa-mp3dec.so.0)
  get_filename_component(libdir "${libs}" DIRECTORY)
  foreach(program ${SOURCE}/examples/mp3towav.c ${root}/client.c)
    get_filename_component(name ${program} NAME_WE)
    execute_process(COMMAND ${CC} -std=c99 -Wall -Wextra -Werror ${extra} ${program} ${flags}
                            -o ${root}/${name}
                    RESULT_VARIABLE built ERROR_VARIABLE errors)
    if(NOT built EQUAL 0)
      message(SEND_ERROR "building ${name} against the installed libraries (${flags}): ${errors}")
    endif()
  endforeach()
  # Run with the installed shared libraries: the example writes what vexa-decode writes
  # when it keeps every decoded sample.
  set(ENV{LD_LIBRARY_PATH} ${libdir})
  set(sample ${SOURCE}/samples/chime.mp3)
  execute_process(COMMAND ${emulator} ${root}/client RESULT_VARIABLE status)
  execute_process(COMMAND ${emulator} ${root}/mp3towav ${sample} ${root}/chime.wav
                  RESULT_VARIABLE example ERROR_VARIABLE errors)
  execute_process(COMMAND ${emulator} ${usr}/bin/vexa-decode --no-gapless ${sample} ${root}/chime.raw
                  RESULT_VARIABLE tool ERROR_QUIET)
  if(NOT status EQUAL 0 OR NOT example EQUAL 0 OR NOT tool EQUAL 0)
    message(SEND_ERROR "installed programs: client ${status}, mp3towav ${example} (${errors}), "
                       "vexa-decode ${tool}")
  else()
    file(READ ${root}/chime.wav wav HEX)
    file(READ ${root}/chime.raw raw HEX)
    string(SUBSTRING "${wav}" 88 -1 wav_data)
    if(NOT wav_data STREQUAL raw)
      message(SEND_ERROR "mp3towav and vexa-decode decode ${sample} differently")
    endif()
  endif()
endif()
file(REMOVE_RECURSE ${root})
