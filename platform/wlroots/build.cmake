# The sway and wlroots backends: wayland-client, and the client code of the
# wlr protocols generated at build time from the XML that
# scripts/wlr-protocols.sh fetches out of Debian's wlroots source package
# (never kept in the repository).
pkg_check_modules(WAYLAND REQUIRED IMPORTED_TARGET wayland-client)
pkg_get_variable(WAYLAND_SCANNER wayland-scanner wayland_scanner)
if(NOT WAYLAND_SCANNER)
  find_program(WAYLAND_SCANNER wayland-scanner REQUIRED)
endif()

set(WLR_PROTOCOL_DIR "/var/cache/companion/wlr-protocols" CACHE PATH
  "Folder holding the wlr protocol XML (scripts/wlr-protocols.sh fills it)")
set(wlr_protocols wlr-foreign-toplevel-management-unstable-v1 wlr-screencopy-unstable-v1)
foreach(p ${wlr_protocols})
  if(NOT EXISTS "${WLR_PROTOCOL_DIR}/${p}.xml")
    message(FATAL_ERROR "${WLR_PROTOCOL_DIR}/${p}.xml is missing: run "
      "scripts/wlr-protocols.sh [DIR] (or scripts/install-deps.sh) and, for another "
      "folder, configure with -DWLR_PROTOCOL_DIR=DIR")
  endif()
endforeach()
if(EXISTS "${WLR_PROTOCOL_DIR}/VERSION")
  file(READ "${WLR_PROTOCOL_DIR}/VERSION" wlr_version)
  string(STRIP "${wlr_version}" wlr_version)
  message(STATUS "wlr protocols: ${wlr_version}")
endif()

set(gen ${CMAKE_BINARY_DIR}/wlr-protocols)
file(MAKE_DIRECTORY ${gen})
set(wlr_generated)
foreach(p ${wlr_protocols})
  add_custom_command(OUTPUT ${gen}/${p}.h ${gen}/${p}.c
    COMMAND ${WAYLAND_SCANNER} client-header ${WLR_PROTOCOL_DIR}/${p}.xml ${gen}/${p}.h
    COMMAND ${WAYLAND_SCANNER} private-code ${WLR_PROTOCOL_DIR}/${p}.xml ${gen}/${p}.c
    DEPENDS ${WLR_PROTOCOL_DIR}/${p}.xml VERBATIM)
  # Compiled as C++ (the project's one compiler and flags: sanitizer and
  # fuzzer builds switch only the C++ compiler); the C declarations come
  # first, so the definitions keep C linkage.
  file(WRITE ${gen}/${p}.cpp
    "#include <wayland-client.h>\n#include \"${p}.h\"\n#include \"${p}.c\"\n")
  set_source_files_properties(${gen}/${p}.cpp PROPERTIES OBJECT_DEPENDS "${gen}/${p}.c;${gen}/${p}.h")
  list(APPEND wlr_generated ${gen}/${p}.cpp ${gen}/${p}.c ${gen}/${p}.h)
endforeach()
set_source_files_properties(${gen}/wlr-foreign-toplevel-management-unstable-v1.c
  ${gen}/wlr-screencopy-unstable-v1.c PROPERTIES HEADER_FILE_ONLY ON)
add_library(wlr_protocols STATIC ${wlr_generated})
# Generated code: its warnings are the generator's (an attribute C++ drops).
target_compile_options(wlr_protocols PRIVATE -w)
target_include_directories(wlr_protocols PUBLIC ${gen})
target_link_libraries(wlr_protocols PUBLIC PkgConfig::WAYLAND)
set_target_properties(wlr_protocols PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries(companion_lib PUBLIC wlr_protocols)
