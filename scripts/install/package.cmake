# The Debian package (scripts/package): CPack's DEB generator over the install rules.

# A build that signs in to the bundled stand-in is a demonstration and says so.
if(VEXALO_WEBSITE_URL MATCHES "^https?://(127\\.|localhost)")
    set(VEXALO_PACKAGE_DEMO ON)
else()
    set(VEXALO_PACKAGE_DEMO OFF)
endif()

set(VEXALO_PACKAGE_DOCS ${CMAKE_INSTALL_DATADIR}/doc/vexalo)
install(FILES scripts/install/copyright DESTINATION ${VEXALO_PACKAGE_DOCS})
# Debian's changelog is kept compressed, without a time stamp in the gzip header.
set(VEXALO_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/generated/changelog.gz)
add_custom_command(OUTPUT ${VEXALO_CHANGELOG_GZ}
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/scripts/install/changelog > ${VEXALO_CHANGELOG_GZ}
    DEPENDS scripts/install/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${VEXALO_CHANGELOG_GZ})
install(FILES ${VEXALO_CHANGELOG_GZ} DESTINATION ${VEXALO_PACKAGE_DOCS})
set(VEXALO_MANPAGE_GZ ${CMAKE_CURRENT_BINARY_DIR}/generated/vexalo.1.gz)
add_custom_command(OUTPUT ${VEXALO_MANPAGE_GZ}
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/scripts/install/vexalo.1 > ${VEXALO_MANPAGE_GZ}
    DEPENDS scripts/install/vexalo.1 VERBATIM)
add_custom_target(manpage ALL DEPENDS ${VEXALO_MANPAGE_GZ})
install(FILES ${VEXALO_MANPAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES scripts/install/com.vexalo.Vexalo.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexalo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vexalo developers <developers@vexalo.invalid>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The proxy core the client runs, and the font its pages are drawn with.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "v2ray, fonts-wqy-microhei")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(NOT VEXALO_PACKAGE_DEMO)
    set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VEXALO_WEBSITE_URL}")
endif()

set(VEXALO_PACKAGE_SUMMARY "desktop client of a residential-proxy service")
# CPack indents the long description and marks its empty lines as Debian wants.
set(VEXALO_PACKAGE_LONG
    "Vexalo signs in to the account of a residential-proxy service and turns the\n"
    "account's remote proxies into SOCKS5 ports on this machine (127.0.0.1:60001\n"
    "and so on), which any program can use without credentials. It runs the v2ray\n"
    "core for them, and other programs can ask it for a proxy through a local\n"
    "HTTP API on port 9584.\n"
    "\n"
    "Installing v2ray also enables and starts v2ray's own system service, a VMess\n"
    "server on port 10086 of every interface, which Vexalo does not use. To stop\n"
    "it: sudo systemctl disable --now v2ray")
if(VEXALO_PACKAGE_DEMO)
    string(APPEND VEXALO_PACKAGE_LONG "\n\n"
           "This is a demonstration build: it signs in to a stand-in account service on\n"
           "this machine (${VEXALO_WEBSITE_URL}), not to the real service.")
endif()
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION "${VEXALO_PACKAGE_SUMMARY}\n" ${VEXALO_PACKAGE_LONG})
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")

include(CPack)
