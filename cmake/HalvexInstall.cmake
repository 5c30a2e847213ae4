# Installing the program: the executable, its desktop entry and icon where desktops look for
# them, and a Debian package of the same files (cpack -G DEB in the build folder).
include(GNUInstallDirs)

install(TARGETS halvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(NOT WIN32)
  set(HALVEX_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
  install(FILES ${HALVEX_PACKAGING}/halvex.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 48 128 256)
    install(FILES ${HALVEX_PACKAGING}/icons/halvex-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME halvex.png)
  endforeach()
endif()

set(CPACK_PACKAGE_NAME halvex)
set(CPACK_PACKAGE_VENDOR "Halvex")
set(CPACK_PACKAGE_CONTACT "Halvex maintainers <support@halvex.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Moves the Oculus platform's games and apps to another drive")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Halvex moves the Software and Downloads folders of the Oculus VR platform to a folder\n"
       "on another drive and leaves directory links at the old places. On Linux it runs\n"
       "against stand-ins for the registry and the services, kept in a host folder\n"
       "($HALVEX_HOST, default ~/.local/share/halvex/host).")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Qt is linked dynamically: the program needs Debian 12's Qt 6 (6.4) libraries and the platform
# plugins (xcb, offscreen) that start it. libblkid reads the file system of fuse volumes.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), qt6-qpa-plugins (>= 6.4), libblkid1, libstdc++6 (>= 12), libgcc-s1, libc6 (>= 2.36)")
include(CPack)
