# Installation: the standard GNUInstallDirs tree.
#
#   bin/tarvomdrv                         the command-line program
#   lib/libtarvocom.so.1 (+ links)        the COM-compatible runtime
#   lib/tarvomdrv/TarvoMDrv.so            the control's module
#   include/tarvomdrv/...                 ITarvo and the runtime's headers, laid
#                                         out as in the source tree, so that
#                                         -I<include>/tarvomdrv makes
#                                         "automation/TarvoMDrv_TLB.h" and its
#                                         own includes resolve
#   lib/pkgconfig/tarvomdrv.pc            pkg-config
#   lib/cmake/TarvoMDrv/                  find_package(TarvoMDrv)
#   share/tarvomdrv/TarvoMDrv.idl         the type library as IDL
#   share/doc/tarvomdrv/README.md, share/man/man1/tarvomdrv.1
#
# Nothing installed points into the build tree: the program and the module
# find the runtime through RPATHs relative to themselves, and the program
# finds the module relative to its own location.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVO_MODULE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/tarvomdrv")
set(TARVO_CMAKE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/TarvoMDrv")

# Relative paths between the installed folders, for RPATHs and for the
# program's module look-up.
file(RELATIVE_PATH _tarvo_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
file(RELATIVE_PATH _tarvo_bin_to_module "/${CMAKE_INSTALL_BINDIR}" "/${TARVO_MODULE_INSTALL_DIR}")
file(RELATIVE_PATH _tarvo_module_to_lib "/${TARVO_MODULE_INSTALL_DIR}" "/${CMAKE_INSTALL_LIBDIR}")
string(REGEX REPLACE "/$" "" _tarvo_module_to_lib "${_tarvo_module_to_lib}")

set_target_properties(tarvomdrv PROPERTIES INSTALL_RPATH "$ORIGIN/${_tarvo_bin_to_lib}")
target_compile_definitions(tarvomdrv PRIVATE
  TARVO_MODULE_FROM_BINDIR="${_tarvo_bin_to_module}")
if(TARGET TarvoMDrv)
  set_target_properties(TarvoMDrv PROPERTIES INSTALL_RPATH "$ORIGIN/${_tarvo_module_to_lib}")
endif()
# The runtime derives the system registry file from the tree it is installed
# in (<prefix>/etc, /etc for the prefix /usr).
set_property(SOURCE ${CMAKE_SOURCE_DIR}/platform/com/system_registry.cpp
             DIRECTORY ${CMAKE_SOURCE_DIR}/platform/com
             APPEND PROPERTY COMPILE_DEFINITIONS
             TARVO_INSTALL_LIBDIR="${CMAKE_INSTALL_LIBDIR}")

install(TARGETS tarvomdrv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tarvocom
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
install(TARGETS tarvocom
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_ONLY)
if(TARGET TarvoMDrv)
  install(TARGETS TarvoMDrv LIBRARY DESTINATION ${TARVO_MODULE_INSTALL_DIR})
endif()

set(TARVO_INCLUDE_INSTALL_DIR "${CMAKE_INSTALL_INCLUDEDIR}/tarvomdrv")
install(FILES automation/TarvoMDrv_TLB.h automation/tarvo_tlb.def
        DESTINATION ${TARVO_INCLUDE_INSTALL_DIR}/automation)
install(FILES platform/com/com_abi.h platform/com/com_abi_posix.h platform/com/abi_cast.h
              platform/com/com_runtime.h platform/com/com_runtime_posix.h
        DESTINATION ${TARVO_INCLUDE_INSTALL_DIR}/platform/com)
install(FILES automation/TarvoMDrv.idl DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvomdrv)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvomdrv)
install(FILES packaging/tarvomdrv.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# pkg-config: paths relative to the .pc file, so that the tree can be moved.
file(RELATIVE_PATH _tarvo_pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" _tarvo_pc_to_prefix "${_tarvo_pc_to_prefix}")
configure_file(cmake/tarvomdrv.pc.in ${CMAKE_BINARY_DIR}/tarvomdrv.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tarvomdrv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The CMake package: imported targets TarvoMDrv::tarvocom (the runtime with
# the headers) and TarvoMDrv::tarvomdrv (the program); TarvoMDrv_MODULE names
# the module file.
configure_package_config_file(cmake/TarvoMDrvConfig.cmake.in
  ${CMAKE_BINARY_DIR}/TarvoMDrvConfig.cmake
  INSTALL_DESTINATION ${TARVO_CMAKE_INSTALL_DIR}
  PATH_VARS CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBDIR TARVO_INCLUDE_INSTALL_DIR
            TARVO_MODULE_INSTALL_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TarvoMDrvConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TarvoMDrvConfig.cmake
              ${CMAKE_BINARY_DIR}/TarvoMDrvConfigVersion.cmake
        DESTINATION ${TARVO_CMAKE_INSTALL_DIR})

include(${CMAKE_SOURCE_DIR}/cmake/TarvoMDrvPackage.cmake)
