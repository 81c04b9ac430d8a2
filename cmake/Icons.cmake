# The program's icons, all made at build time from the one source image ui/res/icon/quorvel.svg
# by ui/res/icon/make_icons.py (with rsvg-convert): the desktop theme PNGs, which are also the
# Linux window icon, and quorvel.ico for the Windows resources.

# The application's id: the name of its desktop entry, its theme icon and its metainfo.
set(QUORVEL_APP_ID org.quorvel.Quorvel)
set(QUORVEL_ICON_SVG ${PROJECT_SOURCE_DIR}/ui/res/icon/quorvel.svg)
set(QUORVEL_ICON_SIZES 16 22 24 32 48 64 128 256)
set(QUORVEL_ICON_DIR ${PROJECT_BINARY_DIR}/icons)
set(QUORVEL_ICON_ICO ${QUORVEL_ICON_DIR}/quorvel.ico)

# Adds the command that makes the icons in QUORVEL_ICON_DIR to the calling directory; only
# targets of that directory may depend on its outputs (QUORVEL_ICON_ICO and the theme PNGs,
# which it lists in QUORVEL_ICON_PNGS in the caller's scope, in QUORVEL_ICON_SIZES order).
function(quorvel_make_icons)
  # Build tools come from the host, also in the Windows cross build.
  find_program(QUORVEL_PYTHON3 python3 REQUIRED)
  find_program(QUORVEL_RSVG_CONVERT rsvg-convert REQUIRED)
  set(pngs)
  foreach(size IN LISTS QUORVEL_ICON_SIZES)
    list(APPEND pngs ${QUORVEL_ICON_DIR}/hicolor/${size}x${size}/apps/${QUORVEL_APP_ID}.png)
  endforeach()
  set(script ${PROJECT_SOURCE_DIR}/ui/res/icon/make_icons.py)
  add_custom_command(
    OUTPUT ${pngs} ${QUORVEL_ICON_ICO}
    COMMAND ${QUORVEL_PYTHON3} ${script} ${QUORVEL_ICON_SVG} ${QUORVEL_ICON_DIR} ${QUORVEL_APP_ID}
    DEPENDS ${script} ${QUORVEL_ICON_SVG}
    COMMENT "Making the icons from quorvel.svg"
    VERBATIM)
  set(QUORVEL_ICON_PNGS ${pngs} PARENT_SCOPE)
endfunction()
