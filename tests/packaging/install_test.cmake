# Installs the built tree, moves the installed tree elsewhere (both the CMake package and the .pc
# file must find it from where they are), then builds the C consumer against it twice, through
# find_package(Zolvane) and through pkg-config, and runs each build without a VISA and with the
# VISA test double.
#   cmake -DBUILD_DIR= -DWORK_DIR= -DCONSUMER_DIR= -DC_COMPILER= -DPKG_CONFIG= -DVISA_DOUBLE_PATH=
#         -DSOVERSION= -DVERSION= [-DCONSUMER_FLAGS=<flags for a sanitized library>] -P install_test.cmake
foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR C_COMPILER PKG_CONFIG VISA_DOUBLE_PATH SOVERSION VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "install_test: ${var} not given")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " shown "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${shown}\n${out}")
  endif()
endfunction()

set(stage ${WORK_DIR}/stage)
set(prefix ${WORK_DIR}/moved)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${stage})
file(RENAME ${stage} ${prefix})

foreach(installed include/Zolvane.h lib/libZolvane.so lib/libZolvane.so.${SOVERSION}
        lib/libZolvane.so.${VERSION} lib/cmake/Zolvane/ZolvaneConfig.cmake
        lib/cmake/Zolvane/ZolvaneConfigVersion.cmake lib/cmake/Zolvane/ZolvaneTargets.cmake
        lib/pkgconfig/zolvane.pc)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
# Callers link the unversioned name and load the SOVERSION name.
file(READ_SYMLINK ${prefix}/lib/libZolvane.so dev_link)
file(READ_SYMLINK ${prefix}/lib/libZolvane.so.${SOVERSION} so_link)
if(NOT dev_link STREQUAL "libZolvane.so.${SOVERSION}" OR NOT so_link STREQUAL "libZolvane.so.${VERSION}")
  message(FATAL_ERROR "version links: libZolvane.so -> ${dev_link}, .so.${SOVERSION} -> ${so_link}")
endif()

# No VISA on the loader path: only the installed library's own folder.
set(no_visa ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib)
set(with_visa ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib:${VISA_DOUBLE_PATH})

# Through the CMake package.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=-Werror ${CONSUMER_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_FLAGS}" -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-consumer)
run(${no_visa} ${WORK_DIR}/cmake-consumer/consumer no-visa)
run(${with_visa} ${WORK_DIR}/cmake-consumer/consumer visa)

# Through pkg-config.
set(pc_env ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig PKG_CONFIG_LIBDIR=${prefix}/lib/pkgconfig)
execute_process(COMMAND ${pc_env} ${PKG_CONFIG} --modversion zolvane OUTPUT_VARIABLE pc_version
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config --modversion zolvane: '${pc_version}' (${rc}), expected ${VERSION}")
endif()
execute_process(COMMAND ${pc_env} ${PKG_CONFIG} --cflags --libs zolvane OUTPUT_VARIABLE pc_flags
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config --cflags --libs zolvane failed")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(consumer_flags UNIX_COMMAND "${CONSUMER_FLAGS}")
run(${C_COMPILER} -std=c99 -Wall -Wextra -pedantic -Werror ${consumer_flags} ${CONSUMER_DIR}/consumer.c
    ${pc_flags} -o ${WORK_DIR}/pc-consumer)
run(${no_visa} ${WORK_DIR}/pc-consumer no-visa)
run(${with_visa} ${WORK_DIR}/pc-consumer visa)
message(STATUS "installed tree at ${prefix}: both consumers built and ran")
