# SPDX-License-Identifier: GPL-3.0-or-later
# Read by cpack for each generator, after CPackConfig.cmake.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR
    "The Debian package installs under /usr, where polkit reads its actions, but this build is "
    "configured for ${CPACK_PACKAGING_INSTALL_PREFIX}: configure it with "
    "-DCMAKE_INSTALL_PREFIX=/usr.")
endif()
