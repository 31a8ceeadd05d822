# What `cmake --install` puts where, and the Debian package made of it
# (`cpack -G DEB` in the build tree). The desktop add-ons' own rules live in
# platform/<backend>/build.cmake; tests, tools, benchmarks and fuzzers have
# none, so they never ship.

# A helper that host applications start and users never do: out of PATH.
install(TARGETS companion RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/companion)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Debian's name for a package's licence.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
# Where resourceDir() looks once installed, there even before an add-on is.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_DATADIR}/companion)

# The package installs where the build was configured for
# (-DCMAKE_INSTALL_PREFIX=/usr for a system package): the compiled-in data
# directory and the authorising desktop entry's Exec name those paths.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME companion)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT "the companion's authors <companion@localhost>"
    CACHE STRING "Maintainer of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "desktop helper for a host application: front window, capture, icons")
set(CPACK_PACKAGE_DESCRIPTION
    "A small process that a host application starts as its child and talks to
over stdin and stdout, one JSON object per line. It reports the application
and window the user works in (with a 64x64 icon), captures one window as a
scaled JPEG, answers permission questions and describes desktop entries.

It works on X11 window managers and on the Wayland sessions of sway and
other wlroots compositors, GNOME Shell (through its own Shell extension) and
KDE Plasma (through its own KWin script and an authorising desktop entry);
those add-ons are in this package.")
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The session bus answers `automation` on every desktop and carries the
# GNOME and KDE add-ons' calls; the desktops themselves are the user's choice.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "default-dbus-session-bus | dbus-session-bus")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell, kwin-wayland")
set(CPACK_STRIP_FILES ON)
include(CPack)
