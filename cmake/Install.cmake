# Install layout and the Debian package.
#
#   <prefix>/lib/orlinde/Orlinde.app/Contents/MacOS/Orlinde      the executable (and the login companion)
#   <prefix>/lib/orlinde/Orlinde.app/Contents/Info.plist         CFBundleIdentifier
#   <prefix>/lib/orlinde/Orlinde.app/Contents/Resources/         settings.json, written by the installer
#   <prefix>/bin/orlinde                                          launcher
#   <prefix>/share/applications/com.tovrex.orlinde.desktop       menu entry
#   <prefix>/share/icons/hicolor/scalable/apps/com.tovrex.orlinde.svg
#
# The bundle finds its settings from its own path, so the launcher runs the real
# executable rather than a link to it.

set(ORLINDE_INSTALL_BUNDLE lib/orlinde/Orlinde.app)
set(ORLINDE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)

install(TARGETS orlinde_app RUNTIME DESTINATION ${ORLINDE_INSTALL_BUNDLE}/Contents/MacOS)
install(TARGETS orlinde_login_companion RUNTIME DESTINATION ${ORLINDE_INSTALL_BUNDLE}/Contents/MacOS)
install(FILES ${CMAKE_BINARY_DIR}/Orlinde.app/Contents/Info.plist DESTINATION ${ORLINDE_INSTALL_BUNDLE}/Contents)
# Resources exists empty: the installation's settings.json is written there later.
install(DIRECTORY DESTINATION ${ORLINDE_INSTALL_BUNDLE}/Contents/Resources)

file(RELATIVE_PATH ORLINDE_LAUNCHER_TO_EXECUTABLE /prefix/bin
     /prefix/${ORLINDE_INSTALL_BUNDLE}/Contents/MacOS/Orlinde)
configure_file(${ORLINDE_PACKAGING_DIR}/orlinde.in ${CMAKE_BINARY_DIR}/packaging/orlinde @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/orlinde DESTINATION bin)
install(FILES ${ORLINDE_PACKAGING_DIR}/com.tovrex.orlinde.desktop DESTINATION share/applications)
install(FILES ${ORLINDE_PACKAGING_DIR}/com.tovrex.orlinde.svg DESTINATION share/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orlinde)
set(CPACK_PACKAGE_VENDOR "Tovrex")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tray agent that keeps the dashboard collector running")
set(CPACK_PACKAGE_DESCRIPTION
    "Orlinde keeps a background collector (a Node.js program) running, restarts it with a back-off, rotates its logs and shows in its tray menu whether the collector is connected to the remote dashboard.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orlinde developers <orlinde@tovrex.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The collector needs Node.js, a Wayland session the Qt plugin, "Open dashboard" a browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "nodejs, qt6-wayland, xdg-utils, gnome-keyring")
include(CPack)
