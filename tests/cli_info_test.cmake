# --help and --version of the three programs, and the README's option list against the
# player's own help text.
# cmake -DBIN=<dir of the programs> -DVERSION=<x.y> -DREADME=<README.md>
#       [-DEMULATOR=<command that runs the target's programs>] -P cli_info_test.cmake

separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")

# vexa registers with the control daemon before it reads its options: like every player
# the tests start, it runs under the shared hold of the control path, so that it never
# talks to a daemon another test program has put there.
find_program(FLOCK flock)
if(FLOCK)
  set(path_share ${FLOCK} -s /tmp/zuzerovu.testlock)
endif()

function(run out_var status_var)
  execute_process(COMMAND ${path_share} ${emulator} ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE err
                  RESULT_VARIABLE status TIMEOUT 120)
  set(${out_var} "${out}" PARENT_SCOPE)
  set(${status_var} "${status}" PARENT_SCOPE)
endfunction()

function(expect what got want)
  if(NOT "${got}" STREQUAL "${want}")
    message(SEND_ERROR "${what}: got [${got}], want [${want}]")
  endif()
endfunction()

foreach(program vexa vexa-decode rivoverd)
  run(out status ${BIN}/${program} --version)
  expect("${program} --version status" "${status}" 0)
  expect("${program} --version output" "${out}" "${program} ${VERSION}\n")
  run(out status ${BIN}/${program} --help)
  expect("${program} --help status" "${status}" 0)
  if(NOT out MATCHES "^usage: ")
    message(SEND_ERROR "${program} --help printed [${out}]")
  endif()
endforeach()

# -h keeps its exit status 1 and prints the same text; options after it are not read.
run(help status ${BIN}/vexa --help)
run(out status ${BIN}/vexa -h -o/nonexistent/dir/file)
expect("vexa -h status" "${status}" 1)
expect("vexa -h output" "${out}" "${help}")

# The README quotes the help text in the fenced block that follows `vexa -h`.
file(READ ${README} readme)
if(NOT readme MATCHES "\n\\$ vexa -h\n(usage:[^`]*)```")
  message(FATAL_ERROR "README.md has no fenced block starting with `$ vexa -h`")
endif()
expect("README's copy of vexa -h" "${CMAKE_MATCH_1}" "${help}")
