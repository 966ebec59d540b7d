# Installs the header, the library, the CMake package (Zolvane::Zolvane) and zolvane.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZOLVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zolvane)

# All in the component Zolvane, so that `cmake --install <build> --component Zolvane` installs the
# library alone, without the simulated test set.
install(TARGETS Zolvane EXPORT ZolvaneTargets COMPONENT Zolvane
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/Zolvane.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT Zolvane)

install(EXPORT ZolvaneTargets NAMESPACE Zolvane:: DESTINATION ${ZOLVANE_CMAKE_DIR} COMPONENT Zolvane)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ZolvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZolvaneConfig.cmake INSTALL_DESTINATION ${ZOLVANE_CMAKE_DIR})
# The SOVERSION is the major version: a new major breaks callers, a new minor does not.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZolvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZolvaneConfig.cmake ${PROJECT_BINARY_DIR}/ZolvaneConfigVersion.cmake
  DESTINATION ${ZOLVANE_CMAKE_DIR} COMPONENT Zolvane)

set(ZOLVANE_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "zolvane.pc is written relative to its own folder: give CMAKE_INSTALL_LIBDIR "
                      "and CMAKE_INSTALL_INCLUDEDIR relative to the prefix")
endif()
# "../.." for lib/pkgconfig, "../../.." for lib/x86_64-linux-gnu/pkgconfig.
file(RELATIVE_PATH ZOLVANE_PC_TO_PREFIX /prefix/${ZOLVANE_PC_DIR} /prefix)
string(REGEX REPLACE "/$" "" ZOLVANE_PC_TO_PREFIX "${ZOLVANE_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zolvane.pc.in ${PROJECT_BINARY_DIR}/zolvane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zolvane.pc DESTINATION ${ZOLVANE_PC_DIR} COMPONENT Zolvane)
include(${CMAKE_CURRENT_LIST_DIR}/cpack.cmake)
