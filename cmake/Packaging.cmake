# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package: `cpack -G DEB` in a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/package.sh does both). The polkit action, the man pages and
# the application's last helper search path are configured from the install prefix, so the package
# installs exactly there; a DEB for any other prefix is refused rather than built with an action
# polkit would never read.

# The package's Maintainer field, also the contact in its copyright file and changelog.
set(WIREQUILL_MAINTAINER "Wirequill developers <wirequill@example.org>"
    CACHE STRING "The Debian package's maintainer: a name and an address in angle brackets")

set(CPACK_PACKAGE_NAME wirequill)
set(CPACK_PACKAGE_VENDOR "Wirequill developers")
set(CPACK_PACKAGE_CONTACT "${WIREQUILL_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live network traffic monitor")
# Lines as they appear in the control file (at most 80 columns there, where each gets a leading
# space), paragraphs apart.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Wirequill watches the traffic on one network interface and keeps a live list"
  "of nodes: one per ICMP message, per UDP datagram and per TCP flow direction,"
  "with the time of its first and latest packet and the payload bytes it"
  "carried. It also reads pcap and pcapng capture files, and writes a plain-text"
  "report without a window."
  ""
  "Live capture runs in a small helper, netsiphon, which members of the"
  "wirequill group start without a password, and everyone else through pkexec;"
  "the helper gives up its privileges once its capture is open.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WIREQUILL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Libraries from dpkg-shlibdeps (dpkg-dev); pkexec starts the helper for live capture, and the
# maintainer scripts give it its capabilities with setcap (libcap2-bin).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pkexec, libcap2-bin")

# The copyright file, the changelog and the maintainer scripts that make the wirequill group and
# give the helper to it.
set(debian_in ${CMAKE_CURRENT_LIST_DIR}/debian)
set(debian_out ${CMAKE_BINARY_DIR}/debian)
set(WIREQUILL_HELPER_PATH ${CMAKE_INSTALL_FULL_LIBEXECDIR}/wirequill/netsiphon)
foreach(file copyright postinst postrm)
  configure_file(${debian_in}/${file} ${debian_out}/${file} @ONLY)
endforeach()
configure_file(${debian_in}/changelog.in ${debian_out}/changelog @ONLY)
add_custom_command(OUTPUT ${debian_out}/changelog.gz
  COMMAND gzip -9 -n -c ${debian_out}/changelog > ${debian_out}/changelog.gz
  DEPENDS ${debian_out}/changelog
  COMMENT "Compressing the changelog")
add_custom_target(debian_changelog ALL DEPENDS ${debian_out}/changelog.gz)
install(FILES ${debian_out}/copyright ${debian_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/wirequill)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${debian_out}/postinst ${debian_out}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# ssh, for capture on another host.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS openssh-client)

set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)

include(CPack)
