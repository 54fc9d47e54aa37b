# Debian packages, built with "cpack -G DEB" from a build directory configured
# with -DCMAKE_INSTALL_PREFIX=/usr:
#
#   vorlask            the daemon, its configuration file, the listener, the
#                      systemd unit and the manual page
#   libchameleon1      the configuration file library
#   libchameleon-dev   its header, pkg-config file, link and manual page
#   vorlask-fleet      the collector: one view of the stations of many access
#                      points, from an MQTT broker, its web page, its systemd
#                      unit and its manual page, a Grafana dashboard of its
#                      /metrics
#
# Each package carries its own copyright file and changelog, as Debian wants.

set(VORLASK_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR})
set(VORLASK_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

# The systemd unit and its defaults file.
install(FILES ${VORLASK_PACKAGING_DIR}/systemd/vorlask.service
  DESTINATION lib/systemd/system
  COMPONENT daemon EXCLUDE_FROM_ALL)
install(FILES ${VORLASK_DEBIAN_DIR}/vorlask.default
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
  RENAME vorlask
  COMPONENT daemon EXCLUDE_FROM_ALL)

# Where the unit takes the daemon's MQTT secrets from (LoadCredential=):
# readable by root only, empty until the administrator puts files there.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vorlask/credentials
  DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
  COMPONENT daemon EXCLUDE_FROM_ALL)

# The collector's systemd unit and defaults file.
if(TARGET vorlask-fleet)
  install(FILES ${VORLASK_PACKAGING_DIR}/systemd/vorlask-fleet.service
    DESTINATION lib/systemd/system
    COMPONENT fleet EXCLUDE_FROM_ALL)
  install(FILES ${VORLASK_DEBIAN_DIR}/vorlask-fleet.default
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
    RENAME vorlask-fleet
    COMPONENT fleet EXCLUDE_FROM_ALL)
  # A Grafana dashboard of its /metrics and Grafana's provisioning files for it.
  install(DIRECTORY ${VORLASK_PACKAGING_DIR}/grafana/
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/vorlask-fleet/grafana
    COMPONENT fleet EXCLUDE_FROM_ALL)
endif()

# Lintian overrides of the daemon package.
install(FILES ${VORLASK_DEBIAN_DIR}/lintian/vorlask
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
  COMPONENT daemon EXCLUDE_FROM_ALL)

# copyright and changelog.gz in /usr/share/doc/<package> of every package.
set(vorlask_changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
  OUTPUT ${vorlask_changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
  COMMAND gzip -9 -n -c ${VORLASK_DEBIAN_DIR}/changelog > ${vorlask_changelog_gz}
  DEPENDS ${VORLASK_DEBIAN_DIR}/changelog
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${vorlask_changelog_gz})
foreach(component_package daemon:vorlask library:libchameleon1 development:libchameleon-dev
        fleet:vorlask-fleet)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${VORLASK_DEBIAN_DIR}/copyright ${vorlask_changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorlask)
set(CPACK_PACKAGE_VENDOR "vorlask developers")
set(CPACK_PACKAGE_CONTACT "vorlask developers <vorlask@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon library development)
if(TARGET vorlask-fleet)
  list(APPEND CPACK_COMPONENTS_ALL fleet)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libchameleon.so.1 in the library's own staging area.
set(CPACK_PACKAGE_FILE_NAME vorlask-${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/${CMAKE_SYSTEM_NAME}/DEB/${CPACK_PACKAGE_FILE_NAME}/library/usr/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A shlibs file for libchameleon1, the only package with a shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# ldconfig through the trigger, not through maintainer scripts.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${VORLASK_DEBIAN_DIR}/libchameleon1/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${VORLASK_DEBIAN_DIR}/drop-ldconfig-scripts.cmake)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME vorlask)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION
"Wi-Fi station reporter for access points
vorlask receives the 802.11 probe requests that a kernel module on the
access point reports over netlink, keeps a table of the stations heard,
drops stations that present randomised addresses at every scan, and
reports each remaining station as a JSON datagram to a UDP multicast
group.

The package also holds vorlask-listen, which prints what the daemon sends
to its multicast group, and a systemd unit.")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA ${VORLASK_DEBIAN_DIR}/conffiles)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libchameleon1)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
"INI-style configuration file reader
chameleon reads files of sections in square brackets, key = value lines
and comment lines into memory and answers lookups by section and key.
Values are held as text and convert to and from strings and numbers.

This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libchameleon-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"INI-style configuration file reader (development files)
chameleon reads files of sections in square brackets, key = value lines
and comment lines into memory and answers lookups by section and key.
Values are held as text and convert to and from strings and numbers.

This package holds the header, the pkg-config file and the link needed to
build programs that use the library.")

set(CPACK_DEBIAN_FLEET_PACKAGE_NAME vorlask-fleet)
set(CPACK_DEBIAN_FLEET_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FLEET_DESCRIPTION
"One view of the stations heard by many access points
vorlask-fleet subscribes to the scan documents and status messages that
vorlask daemons publish to an MQTT broker, and keeps one view of them:
every station with each access point that heard it, its signal there,
the strongest access point and when it was last seen; every access point
online or offline with its last scan. It prints a live console table, or
the view once as JSON.

It fails over between several brokers (a broker cluster), keeps a
persistent session when asked, and speaks TLS with the broker's name
verified. With --http it serves a web page with live tables and charts of
the last hour and day from its SQLite history, and a read-only JSON
interface.")
# The page draws its charts with Debian's dygraphs and names makers from Debian's copy of
# the IEEE registry; both are read from /usr/share at start.
set(CPACK_DEBIAN_FLEET_PACKAGE_DEPENDS "ieee-data, libjs-dygraphs")
set(CPACK_DEBIAN_FLEET_PACKAGE_CONTROL_EXTRA ${VORLASK_DEBIAN_DIR}/vorlask-fleet/conffiles)

include(CPack)
cpack_add_component(library DISPLAY_NAME "chameleon library")
cpack_add_component(development DISPLAY_NAME "chameleon development files" DEPENDS library)
cpack_add_component(daemon DISPLAY_NAME "vorlask daemon" DEPENDS library)
cpack_add_component(fleet DISPLAY_NAME "vorlask fleet view")
