# Run by cpack after the packages are built (CPACK_POST_BUILD_SCRIPTS).
# CPack gives every package with a shared library in /usr/lib a postinst and a
# postrm that call ldconfig; Debian uses the ldconfig trigger instead (the
# package's triggers file), so the two scripts are dropped from
# libchameleon1 and the package is put together again with dpkg-deb.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${deb}" NAME)
  if(NOT name MATCHES "^libchameleon1_")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/repack-libchameleon1")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${tree}" "${deb}"
    OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${tree} failed")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
