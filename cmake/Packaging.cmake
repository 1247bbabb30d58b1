# Installation layout and the Debian package "tavrel" (cpack -G DEB in the build directory).
# The package holds the service, its systemd unit, an example configuration (a conffile) and
# the MQTT plug-in. The platform's own libraries (device-stack client, web-service connector,
# plug-in host) come with the platform; our stand-ins, the simulators and the test camera are
# not installed.
include(GNUInstallDirs)

set(TAVREL_PLUGIN_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/ovx/plugins CACHE STRING
    "Where the plug-in host loads plug-ins from (relative to the prefix)")
set(TAVREL_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE STRING "Directory of systemd units")

set(packaging ${PROJECT_SOURCE_DIR}/packaging)
install(FILES ${packaging}/tavrel.service DESTINATION ${TAVREL_SYSTEMD_UNIT_DIR})
install(FILES ${packaging}/tavrel.json DESTINATION /etc/tavrel)
set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/tavrel)
install(FILES ${packaging}/copyright DESTINATION ${docdir})

# Debian wants the changelog compressed to the maximum and without a time stamp.
set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
    COMMAND gzip -n -9 -c ${packaging}/changelog > ${changelog}
    DEPENDS ${packaging}/changelog VERBATIM)
add_custom_target(tavrel_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${docdir} RENAME changelog.gz)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tavrel developers <tavrel@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "RTSP camera relay service and MQTT host plug-in")
set(CPACK_PACKAGE_DESCRIPTION
    "tavrel makes the RTSP streams of IP cameras available to the clients of a\n\
building-automation server, with users, roles and a client limit. It runs as\n\
a systemd service that takes its configuration and log level from the\n\
platform. The package also holds the MQTT plug-in libovx_pelmora.so for the\n\
platform's plug-in host.")
# The platform's libraries are not Debian packages, so dpkg-shlibdeps cannot be used: the
# Debian libraries the programs link, the GStreamer elements the relay builds, and kill(1) for
# the unit's reload.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libgcc-s1, libboost-json1.81.0, libboost-program-options1.81.0, \
libcaf-core0.17, libfmt9, libspdlog1.10, libglib2.0-0, libgstreamer1.0-0, \
libgstreamer-plugins-base1.0-0, libgstrtspserver-1.0-0, libsystemd0, \
gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, procps")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${packaging}/conffiles ${packaging}/postinst ${packaging}/prerm ${packaging}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
