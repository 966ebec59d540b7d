# The names the library's binding tries for VISA on Linux, in its order.
set(ZOLVANE_VISA_NAMES libivivisa.so.7 libvisa.so librsvisa.so libiovisa.so)

# zolvane_visa_folder(<target> <library> <folder> [RELATIVE]): a custom target that makes
# <folder> hold the shared library <library> under every name the binding tries (on Windows, as
# visa32.dll), so that a program with <folder> first on its loader path binds it in VISA's place.
# RELATIVE links by file name, for a library built into <folder> itself, so the folder can be
# copied or installed as it is.
function(zolvane_visa_folder target library folder)
  cmake_parse_arguments(PARSE_ARGV 3 arg "RELATIVE" "" "")
  if(arg_RELATIVE)
    set(file $<TARGET_FILE_NAME:${library}>)
  else()
    set(file $<TARGET_FILE:${library}>)
  endif()
  set(links)
  if(WIN32)
    # Windows finds visa32.dll in the program's folder first.
    set(links COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${library}> ${folder}/visa32.dll)
  else()
    foreach(name ${ZOLVANE_VISA_NAMES})
      list(APPEND links COMMAND ${CMAKE_COMMAND} -E create_symlink ${file} ${folder}/${name})
    endforeach()
  endif()
  add_custom_target(${target} ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    ${links}
    DEPENDS ${library}
    COMMENT "${library} under every VISA name in ${folder}")
endfunction()

# zolvane_install_visa_folder(<library> <folder> <destination>): installs <library> into
# <destination> under every VISA name, as zolvane_visa_folder made <folder> in the build tree.
function(zolvane_install_visa_folder library folder destination)
  install(TARGETS ${library}
    LIBRARY DESTINATION ${destination}
    RUNTIME DESTINATION ${destination})
  if(WIN32)
    install(FILES ${folder}/visa32.dll DESTINATION ${destination})
    return()
  endif()
  foreach(visa_name ${ZOLVANE_VISA_NAMES})
    install(CODE "
      set(_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}\")
      file(CREATE_LINK $<TARGET_FILE_NAME:${library}> \"\${_dir}/${visa_name}\" SYMBOLIC)
      message(STATUS \"Installing: \${_dir}/${visa_name} -> $<TARGET_FILE_NAME:${library}>\")")
  endforeach()
endfunction()
