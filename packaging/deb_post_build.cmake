# CPack post-build step, for what CPack cannot say itself. The shared-library packages keep
# their ldconfig trigger only: CPack puts ldconfig calls into a postinst and a postrm of
# every package with a library in /usr/lib, which Debian has replaced by the trigger. The
# library packages and the development package are "Multi-Arch: same" (installable for
# several architectures at once: their files lie in the multiarch directories or are the
# same on every architecture). The packages are built again with these changes.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb ${CPACK_PACKAGE_FILES})
  get_filename_component(name ${deb} NAME)
  if(NOT name MATCHES "^(lib|vexa-dev_).*\\.deb$")
    continue()
  endif()
  set(dir ${CPACK_TOPLEVEL_DIRECTORY}/without-ldconfig-scripts)
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND ${DPKG_DEB} --raw-extract ${deb} ${dir} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --raw-extract ${deb} failed")
  endif()
  file(REMOVE ${dir}/DEBIAN/postinst ${dir}/DEBIAN/postrm)
  file(READ ${dir}/DEBIAN/control control)
  string(STRIP "${control}" control)
  file(WRITE ${dir}/DEBIAN/control "${control}\nMulti-Arch: same\n")
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group --build ${dir} ${deb}
                  OUTPUT_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --build ${deb} failed")
  endif()
  file(REMOVE_RECURSE ${dir})
endforeach()
