# The Debian package: `cpack -G DEB` in the build folder gives
# tarvomdrv_3.0.2.2_<arch>.deb with everything `cmake --install` lays out,
# under /usr. Installing it registers the module system-wide (postinst:
# `tarvomdrv regsvr --system`); removing it unregisters it again (prerm).
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tarvomdrv")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "TarvoMDrv")
set(CPACK_PACKAGE_CONTACT "TarvoMDrv maintainers <tarvomdrv@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "cash-register driver for point-of-sale programs (automation control Tarvo)")
set(CPACK_PACKAGE_DESCRIPTION
    "TarvoMDrv connects a point-of-sale program to electronic cash registers on serial ports.\n\
The driver is an automation control (ProgID TarvoMDrv.Tarvo) hosted by a small\n\
COM-compatible runtime; the tarvomdrv program registers it, lists the serial\n\
ports, simulates a register and bridges the control to any language.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Dependencies from the shared libraries the program, the runtime and the
# module need (dpkg-shlibdeps, from dpkg-dev). The package's own runtime is
# found in its private folders.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    "${CMAKE_BINARY_DIR}/bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_SOURCE_DIR}/packaging/debian/postinst;${CMAKE_SOURCE_DIR}/packaging/debian/prerm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Stripped, as Debian ships binaries: no debug paths of the build machine.
set(CPACK_STRIP_FILES ON)
include(CPack)
