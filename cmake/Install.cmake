# Install layout and the Debian package.
#
#   <prefix>/lib/orlinde/Orlinde.app/Contents/MacOS/Orlinde      the executable (and the login companion)
#   <prefix>/lib/orlinde/Orlinde.app/Contents/Info.plist         CFBundleIdentifier
#   <prefix>/lib/orlinde/Orlinde.app/Contents/Resources/         settings.json, when not per user
#   <prefix>/bin/orlinde                                          launcher
#   <prefix>/share/applications/com.tovrex.orlinde.desktop       menu entry
#   <prefix>/share/icons/hicolor/scalable/apps/com.tovrex.orlinde.svg
#   <prefix>/share/man/man1/orlinde.1.gz                          manual page
#   <prefix>/share/doc/orlinde/{copyright,changelog.gz}           what Debian asks of every package
#
# The bundle finds its identifier and settings from its own path, so the launcher runs
# the real executable rather than a link to it. The package ships no settings: each
# user's installer writes ~/.config/<identifier>/settings.json.

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

# Compressed when configuring, so that packaging needs no build step of its own; -n keeps
# name and time out of the header, so two builds give the same bytes.
function(orlinde_install_gzipped source destination)
    get_filename_component(name ${source} NAME)
    set(compressed ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${compressed} COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${compressed} DESTINATION ${destination})
endfunction()
orlinde_install_gzipped(${ORLINDE_PACKAGING_DIR}/orlinde.1 share/man/man1)
orlinde_install_gzipped(${ORLINDE_PACKAGING_DIR}/changelog share/doc/orlinde)
install(FILES ${ORLINDE_PACKAGING_DIR}/copyright DESTINATION share/doc/orlinde)

# The package's version is the project's; the changelog's latest entry must say so.
file(STRINGS ${ORLINDE_PACKAGING_DIR}/changelog ORLINDE_CHANGELOG_TOP LIMIT_COUNT 1)
string(FIND "${ORLINDE_CHANGELOG_TOP}" "orlinde (${PROJECT_VERSION}) " ORLINDE_CHANGELOG_AT)
if(NOT ORLINDE_CHANGELOG_AT EQUAL 0)
    message(FATAL_ERROR "packaging/changelog starts with '${ORLINDE_CHANGELOG_TOP}', "
                        "not an entry for version ${PROJECT_VERSION}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orlinde)
set(CPACK_PACKAGE_VENDOR "Tovrex")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tray agent that keeps the dashboard collector running")
# Debian shows the description as written: lines of fewer than 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "Orlinde keeps a background collector (a Node.js program) running, restarts
it with a back-off when it dies, rotates its logs and shows in its tray menu
whether the collector is connected to the remote dashboard. The command
orlinde --status prints that status line for scripts.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orlinde developers <orlinde@tovrex.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The package holds only the app, its companion and their files: packaging builds
# nothing else (the tests and benchmarks need not build for a package to be made).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
# The collector needs Node.js, a Wayland session the Qt plugin, "Open dashboard" a browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "nodejs, qt6-wayland, xdg-utils, gnome-keyring")
include(CPack)
