# CPack pre-build script for the .deb: strips every ELF file in the staging tree, including
# those installed as plain files (CPACK_STRIP_FILES strips only installed targets), as dh_strip
# would.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND "${CPACK_ZOLVANE_STRIP}" --strip-unneeded --remove-section=.comment
      --remove-section=.note "${file}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "cannot strip ${file}")
    endif()
  endif()
endforeach()
