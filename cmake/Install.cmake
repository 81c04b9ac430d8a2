# What `cmake --install` puts where, and the packages CPack makes of it: a .deb on Linux, a
# zip on Windows. Targets are named, not paths, so they may live in any folder of the tree.
include(GNUInstallDirs)

# Who makes and answers for the packages: the Maintainer of the .deb and the contact in its
# copyright file and changelog. One setting for packagers:
#   cmake -S . -B build -DQUORVEL_MAINTAINER="Jane Doe <jane@example.net>"
set(QUORVEL_MAINTAINER "quorvel maintainers <quorvel@example.org>" CACHE STRING
    "Maintainer and contact of the packages, as \"Name <address>\"")
if(NOT QUORVEL_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  message(FATAL_ERROR "QUORVEL_MAINTAINER must read \"Name <address>\", not \"${QUORVEL_MAINTAINER}\"")
endif()
if(QUORVEL_MAINTAINER MATCHES "@example\\.org>$")
  message(STATUS "Packages name the placeholder maintainer ${QUORVEL_MAINTAINER}; "
                 "set QUORVEL_MAINTAINER for packages you hand out")
endif()

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

  # The manual pages and the changelog compressed as Debian wants them (gzip -9, no name or
  # time stamp inside, so the same sources give the same bytes); the changelog and the
  # copyright file carry QUORVEL_MAINTAINER.
  find_program(QUORVEL_GZIP gzip REQUIRED)
  set(docs ${PROJECT_BINARY_DIR}/packaging)
  configure_file(${linux_files}/changelog.in ${docs}/changelog @ONLY)
  configure_file(${linux_files}/copyright.in ${docs}/copyright @ONLY)
  set(compressed)
  foreach(source IN ITEMS ${linux_files}/quorvel.1 ${linux_files}/olvtool.1 ${docs}/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${docs}/${name}.gz
      COMMAND ${QUORVEL_GZIP} -9nc ${source} > ${docs}/${name}.gz
      DEPENDS ${source}
      COMMENT "Compressing ${name}"
      VERBATIM)
    list(APPEND compressed ${docs}/${name}.gz)
  endforeach()
  add_custom_target(quorvel_package_docs ALL DEPENDS ${compressed})
  set(man_pages ${docs}/olvtool.1.gz)
  if(TARGET quorvel)
    list(APPEND man_pages ${docs}/quorvel.1.gz)
  endif()
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${docs}/changelog.gz ${docs}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR quorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Repairs version 4 .olv files in place")
set(CPACK_PACKAGE_CONTACT "${QUORVEL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUORVEL_MAINTAINER}")
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
  # Lines of at most 80 characters, as Debian's tools show them.
  set(CPACK_PACKAGE_DESCRIPTION
      "The quorvel window finds every .olv file beneath a folder, lists each with its\nversion and rewrites the version 4 files in place. olvtool does the same from a\nterminal, and makes, describes, checks and resaves single .olv files.")
  # The libraries the programs link (Qt, the C++ run-time) as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Wayland sessions run natively with Qt's Wayland plugin; xdg-open opens a file's folder; the
  # GTK platform theme gives GTK desktops their own folder and save dialogs.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, xdg-utils, qt6-gtk-platformtheme")
endif()
include(CPack)
