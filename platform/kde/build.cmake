# The KDE backend's add-ons: the KWin script (staged beside a build tree's
# binary, installed into the data directory) and the desktop entry that
# authorises the installed companion for KWin's screenshot service.
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/platform/kde/kwin-script/mirror.js
  ${COMPANION_STAGE_DIR}/kwin/mirror.js COPYONLY)
install(FILES ${COMPANION_STAGE_DIR}/kwin/mirror.js
  DESTINATION ${CMAKE_INSTALL_DATADIR}/companion/kwin)

set(COMPANION_KDE_EXEC ${CMAKE_INSTALL_FULL_LIBEXECDIR}/companion/companion)
file(WRITE ${CMAKE_BINARY_DIR}/kde/companion.desktop
"[Desktop Entry]
Type=Application
Name=Companion
Comment=Lets the companion capture windows for its host application
Exec=${COMPANION_KDE_EXEC}
NoDisplay=true
X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2
")
install(FILES ${CMAKE_BINARY_DIR}/kde/companion.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
