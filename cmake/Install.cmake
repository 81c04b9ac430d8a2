# What `cmake --install` puts where, and the packages CPack makes of it: a .deb on Linux, a
# zip on Windows. Targets are named, not paths, so they may live in any folder of the tree.
include(GNUInstallDirs)

if(WIN32)
  # The zip's one folder: both programs and a short readme.
  install(TARGETS quorvel olvtool RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION .)
else()
  set(linux_files ${PROJECT_SOURCE_DIR}/packaging/linux)
  if(TARGET quorvel)
    install(TARGETS quorvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${linux_files}/${QUORVEL_APP_ID}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${linux_files}/${QUORVEL_APP_ID}.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    # The theme icons made from quorvel.svg at build time, and the picture itself.
    foreach(size IN LISTS QUORVEL_ICON_SIZES)
      install(FILES ${QUORVEL_ICON_DIR}/hicolor/${size}x${size}/apps/${QUORVEL_APP_ID}.png
              DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
    install(FILES ${QUORVEL_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
            RENAME ${QUORVEL_APP_ID}.svg)
  endif()
  install(TARGETS olvtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${linux_files}/olvtool.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR quorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Repairs version 4 .olv files in place")
set(CPACK_PACKAGE_CONTACT "quorvel developers <quorvel@localhost>")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME quorvel-${PROJECT_VERSION}-windows-x64)
  else()
    set(CPACK_PACKAGE_FILE_NAME quorvel-${PROJECT_VERSION}-windows-x86)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_PACKAGE_DESCRIPTION
      "quorvel finds every .olv file beneath a folder, lists each with its version and rewrites the version 4 files in place. olvtool makes, describes, checks and resaves single .olv files from a terminal.")
  # The libraries the programs link (Qt, the C++ run-time) as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Wayland sessions run natively with Qt's Wayland plugin; xdg-open opens a file's folder.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, xdg-utils")
endif()
include(CPack)
