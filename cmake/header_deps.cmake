# The header-only libraries the tools use (toml++, CLI11, nlohmann-json), as interface targets
# zolvane_dep_toml, zolvane_dep_cli11 and zolvane_dep_json. toml++ is used header-only (Debian's
# CMake file would link its shared library, which a cross-build for Windows cannot), and a
# cross-build takes the build machine's headers through a folder of links to them alone, never
# through /usr/include itself. A library that is missing leaves its target out; the tools that
# need it say so.
function(zolvane_header_dep target header folder debian)
  find_path(_dir_${target} ${header} PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT _dir_${target})
    message(STATUS "${header} not found (Debian: ${debian}): the tools that need it are left out")
    return()
  endif()
  set(linked ${CMAKE_BINARY_DIR}/include_deps/${target})
  file(MAKE_DIRECTORY ${linked})
  if(NOT EXISTS ${linked}/${folder})
    file(CREATE_LINK ${_dir_${target}}/${folder} ${linked}/${folder} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${linked})
endfunction()

zolvane_header_dep(zolvane_dep_toml toml++/toml.h toml++ libtomlplusplus-dev)
zolvane_header_dep(zolvane_dep_cli11 CLI/CLI.hpp CLI libcli11-dev)
zolvane_header_dep(zolvane_dep_json nlohmann/json.hpp nlohmann nlohmann-json3-dev)
if(TARGET zolvane_dep_toml)
  target_compile_definitions(zolvane_dep_toml INTERFACE TOML_HEADER_ONLY=1)
endif()
