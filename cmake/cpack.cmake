# Station packages: on Windows a ZIP (cpack -G ZIP), on Debian a .deb when configured with
# -DZOLVANE_PACKAGE_DEB=ON -DCMAKE_INSTALL_PREFIX=/usr (cpack -G DEB). Both hold everything the
# install rules install: the library with its header, CMake and pkg-config files, the phone
# test and the simulated test set in a folder of its own.
option(ZOLVANE_PACKAGE_DEB "Install the files a Debian package needs (copyright, changelog)" OFF)

set(CPACK_PACKAGE_NAME Zolvane)
set(CPACK_PACKAGE_VENDOR "Zolvane developers")
set(CPACK_PACKAGE_CONTACT "Zolvane developers <zolvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "drives a CDMA2000 test set over GPIB through VISA")
set(CPACK_PACKAGE_DESCRIPTION
    "Zolvane is a C library whose 37 functions open a CDMA2000 test set (a base-station emulator), set up the emulated cell, bring a phone onto a call, hand it off and measure frame error rate and output power, through the VISA I/O library. The package also holds zolvane_phone_test, a complete phone test, and a simulated test set that stands in for the instrument.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # The station's own notes, at the top of the ZIP.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-station.txt DESTINATION . RENAME README.txt)

  # For MSVC: the .def the DLL is linked with and an import library made from it.
  if(MINGW)
    if(NOT CMAKE_DLLTOOL)
      find_program(CMAKE_DLLTOOL NAMES ${ZOLVANE_MINGW_TRIPLE}-dlltool dlltool)
    endif()
    if(CMAKE_DLLTOOL)
      set(_msvc_lib ${PROJECT_BINARY_DIR}/msvc/Zolvane.lib)
      add_custom_command(OUTPUT ${_msvc_lib}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/msvc
        COMMAND ${CMAKE_DLLTOOL} -d ${PROJECT_SOURCE_DIR}/src/zolvane.def -D Zolvane.dll -l ${_msvc_lib}
        DEPENDS ${PROJECT_SOURCE_DIR}/src/zolvane.def
        COMMENT "MSVC import library Zolvane.lib")
      add_custom_target(zolvane_msvc_lib ALL DEPENDS ${_msvc_lib})
      install(FILES ${_msvc_lib} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Zolvane)
      install(FILES ${PROJECT_SOURCE_DIR}/src/zolvane.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RENAME Zolvane.def COMPONENT Zolvane)
    else()
      message(WARNING "no dlltool: the package goes without the MSVC import library")
    endif()
  endif()

  # The Python package, unless python/ installs it itself.
  if(EXISTS ${PROJECT_SOURCE_DIR}/python/CMakeLists.txt)
  elseif(EXISTS ${PROJECT_SOURCE_DIR}/python/zolvane/__init__.py)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/zolvane DESTINATION python
      PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
  elseif(EXISTS ${PROJECT_SOURCE_DIR}/python/zolvane.py)
    install(FILES ${PROJECT_SOURCE_DIR}/python/zolvane.py DESTINATION python)
  endif()
elseif(ZOLVANE_PACKAGE_DEB)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME zolvane)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Written here rather than generated: CPack would list every copy of libZolvane.so.1 (one sits
  # in the Python package) and call ldconfig from maintainer scripts instead of a trigger.
  file(WRITE ${PROJECT_BINARY_DIR}/debian/shlibs
    "libZolvane ${PROJECT_VERSION_MAJOR} zolvane (>= ${PROJECT_VERSION})\n")
  file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/shlibs ${PROJECT_BINARY_DIR}/debian/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Below the summary line, which CPack puts first.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Zolvane is a C library whose 37 functions open a CDMA2000 test set (a
base-station emulator), set up the emulated cell, bring a phone onto a call,
hand it off and measure frame error rate and output power, through the VISA
I/O library. The package also holds zolvane_phone_test, a complete phone
test, and a simulated test set that stands in for the instrument.")
  set(CPACK_ZOLVANE_STRIP ${CMAKE_STRIP})
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/strip-elf.cmake)
  if(NOT CMAKE_INSTALL_DOCDIR STREQUAL "share/doc/zolvane")
    message(FATAL_ERROR "a Debian package keeps its documents in share/doc/zolvane: configure with "
                        "-DCMAKE_INSTALL_DOCDIR=share/doc/zolvane")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Debian wants the changelog compressed, reproducibly (no name, no time stamp).
  find_program(ZOLVANE_GZIP gzip REQUIRED)
  execute_process(COMMAND ${ZOLVANE_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)
