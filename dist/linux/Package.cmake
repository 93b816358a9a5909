# The desktop integration and the Debian package: `cmake --build build
# --target package` writes lumbra_<version>_<arch>.deb into the build folder.
# Installed layout (prefix /usr): the program and the simulator in bin, the
# language files in share/lumbra (the program looks there when they are not
# beside it), the desktop entry, icons and metainfo where desktops look, and
# the device rules of the USB reader.
set(LUMBRA_DIST_DIR ${CMAKE_CURRENT_LIST_DIR})
set(LUMBRA_DIST_OUT ${CMAKE_BINARY_DIR}/dist)
set(LUMBRA_APP_ID example.tavik.Lumbra)
set(LUMBRA_MAINTAINER "Tavik Technologies <info@tavik.example>")

# Debian wants directories 0755 whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The entry names the program by its full path, known only when installing
# (the package installs to /usr whatever the build's prefix).
install(CODE "
  file(READ \"${LUMBRA_DIST_DIR}/${LUMBRA_APP_ID}.desktop\" entry)
  string(REPLACE \"@LUMBRA_INSTALLED_PROGRAM@\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/lumbra\"
         entry \"\${entry}\")
  file(WRITE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications/${LUMBRA_APP_ID}.desktop\"
       \"\${entry}\")
")
# Dates of the build (or of SOURCE_DATE_EPOCH, for a reproducible one).
string(TIMESTAMP LUMBRA_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP LUMBRA_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${LUMBRA_DIST_DIR}/${LUMBRA_APP_ID}.metainfo.xml
               ${LUMBRA_DIST_OUT}/${LUMBRA_APP_ID}.metainfo.xml @ONLY)
install(FILES ${LUMBRA_DIST_OUT}/${LUMBRA_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# Numbered before the seat rules that turn the uaccess tag into access rights.
install(FILES ${LUMBRA_DIST_DIR}/70-lumbra-slu20.rules DESTINATION lib/udev/rules.d)

# The icon: the drawing, and the usual bitmap sizes made from it.
install(FILES ${LUMBRA_DIST_DIR}/lumbra.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
find_program(LUMBRA_RSVG_CONVERT rsvg-convert REQUIRED)
set(LUMBRA_ICON_PNGS "")
foreach(size 16 22 24 32 48 64 128 256)
  set(png ${LUMBRA_DIST_OUT}/icons/${size}x${size}/lumbra.png)
  add_custom_command(
    OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${LUMBRA_DIST_OUT}/icons/${size}x${size}
    COMMAND ${LUMBRA_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${LUMBRA_DIST_DIR}/lumbra.svg
    DEPENDS ${LUMBRA_DIST_DIR}/lumbra.svg
    VERBATIM)
  list(APPEND LUMBRA_ICON_PNGS ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Debian's documentation files: the copyright, the changelog of a native
# package and the manual pages, compressed without a time stamp so that the
# same sources give the same package.
configure_file(${LUMBRA_DIST_DIR}/changelog.in ${LUMBRA_DIST_OUT}/changelog @ONLY)
set(LUMBRA_GZIPPED "")
foreach(file ${LUMBRA_DIST_OUT}/changelog ${LUMBRA_DIST_DIR}/lumbra.1
             ${LUMBRA_DIST_DIR}/lumbra-readersim.1)
  get_filename_component(name ${file} NAME)
  add_custom_command(
    OUTPUT ${LUMBRA_DIST_OUT}/${name}.gz
    COMMAND gzip -9nc ${file} > ${LUMBRA_DIST_OUT}/${name}.gz
    DEPENDS ${file})
  list(APPEND LUMBRA_GZIPPED ${LUMBRA_DIST_OUT}/${name}.gz)
endforeach()
install(FILES ${LUMBRA_DIST_DIR}/copyright ${LUMBRA_DIST_OUT}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/lumbra)
install(FILES ${LUMBRA_DIST_OUT}/lumbra.1.gz ${LUMBRA_DIST_OUT}/lumbra-readersim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
add_custom_target(lumbra_dist ALL DEPENDS ${LUMBRA_ICON_PNGS} ${LUMBRA_GZIPPED})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumbra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${LUMBRA_MAINTAINER})
set(CPACK_PACKAGE_VENDOR "Tavik Technologies")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${LUMBRA_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tavik.example/)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds its X11 platform plug-in at run time, so no library names it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sound-theme-freedesktop")
# Native windows on a Wayland session without XWayland; the Wayland and
# keymap libraries for typing there come in through the shared libraries.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keyboard wedge for badge readers")
set(CPACK_PACKAGE_DESCRIPTION
    "Lumbra drives a badge reader (a magnetic stripe reader or reader/writer, or
a proximity reader) on a serial port or USB, and types what a swiped badge
holds into the application that has the keyboard focus, as if a person had
typed it. It lives in the notification area; its settings are protected by
a password.

The package also holds lumbra-readersim, simulated readers for trying the
program without a reader, and the device rules that let the user at the
seat use the USB reader.")
include(CPack)
