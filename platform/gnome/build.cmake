# The GNOME backend's Shell extension: both forms generated from one source
# at build time, staged beside a build tree's binary and installed with the
# companion. The 43-44 form is the extension's folder itself; the 45+ form
# lies in its esm/ subfolder, and "allow" installs the one the Shell takes.
set(COMPANION_GNOME_UUID "windows@companion")
set(_gnome_src ${CMAKE_CURRENT_SOURCE_DIR}/platform/gnome/extension)
set(_gnome_out ${COMPANION_STAGE_DIR}/gnome-shell/${COMPANION_GNOME_UUID})
set(_gnome_inputs ${_gnome_src}/service.js ${_gnome_src}/metadata.json.in
  ${_gnome_src}/legacy-head.js ${_gnome_src}/legacy-tail.js
  ${_gnome_src}/esm-head.js ${_gnome_src}/esm-tail.js ${_gnome_src}/generate.cmake)
set(_gnome_args -DSRC=${_gnome_src} -DUUID=${COMPANION_GNOME_UUID}
  -DCOMPANION_EXE=${CMAKE_INSTALL_FULL_BINDIR}/companion)
add_custom_command(
  OUTPUT ${_gnome_out}/extension.js ${_gnome_out}/metadata.json
         ${_gnome_out}/esm/extension.js ${_gnome_out}/esm/metadata.json
  COMMAND ${CMAKE_COMMAND} ${_gnome_args} -DFORM=legacy -DOUT=${_gnome_out} -P ${_gnome_src}/generate.cmake
  COMMAND ${CMAKE_COMMAND} ${_gnome_args} -DFORM=esm -DOUT=${_gnome_out}/esm -P ${_gnome_src}/generate.cmake
  DEPENDS ${_gnome_inputs}
  COMMENT "Generating the GNOME Shell extension")
add_custom_target(gnome_extension ALL DEPENDS ${_gnome_out}/extension.js ${_gnome_out}/esm/extension.js)
target_compile_definitions(companion_lib PRIVATE COMPANION_GNOME_UUID="${COMPANION_GNOME_UUID}")
install(DIRECTORY ${_gnome_out} DESTINATION ${CMAKE_INSTALL_DATADIR}/companion/gnome-shell)
