# The Qt backend on the real widgets, on Qt's offscreen platform (no display needed) with a
# screen of 1600x1000 pixels unless a test names another. Screenshots of the windows go to
# ${CMAKE_BINARY_DIR}/screenshots.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
set(QUORVEL_OFFSCREEN "offscreen:configfile=${CMAKE_CURRENT_LIST_DIR}/screen-1600x1000.json")

add_executable(qt_backend_tests qt/backend_test.cpp)
target_link_libraries(qt_backend_tests PRIVATE
  quorvel_qt quorvel_app wekfile GTest::gtest Qt6::Widgets Qt6::Test)
# The test's URL recorder is a QObject with a slot.
set_target_properties(qt_backend_tests PROPERTIES AUTOMOC ON)
target_compile_definitions(qt_backend_tests PRIVATE
  QUORVEL_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots"
  QUORVEL_WINDOWS_ICON="${QUORVEL_ICON_ICO}")
# The file dialog keeps its history in the user's configuration folder: keep it in the build.
gtest_discover_tests(qt_backend_tests
  DISCOVERY_TIMEOUT 60
  PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=${QUORVEL_OFFSCREEN};XDG_CONFIG_HOME=${CMAKE_BINARY_DIR}/tests/qt-config"
    TIMEOUT 300)

# The windows' layout at every font and size, and the window on screens of different sizes:
# the offscreen screen of 1600x1000, one of 1366x768, and the same on an X server (Xvfb),
# where the window goes through the X11 platform as on a desktop.
add_executable(qt_window_tests qt/window_test.cpp)
target_link_libraries(qt_window_tests PRIVATE quorvel_qt quorvel_app GTest::gtest Qt6::Widgets Qt6::Test)
target_compile_definitions(qt_window_tests PRIVATE QUORVEL_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
gtest_discover_tests(qt_window_tests
  DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=${QUORVEL_OFFSCREEN}" TIMEOUT 300)
add_test(NAME qt_window_on_a_1366x768_screen COMMAND qt_window_tests)
set_tests_properties(qt_window_on_a_1366x768_screen PROPERTIES TIMEOUT 300 ENVIRONMENT
  "QT_QPA_PLATFORM=offscreen:configfile=${CMAKE_CURRENT_LIST_DIR}/screen-1366x768.json")
add_test(NAME qt_window_on_xvfb_1366x768
         COMMAND xvfb-run -a -s "-screen 0 1366x768x24" $<TARGET_FILE:qt_window_tests>)
# xvfb-run -a picks a free display, but two started at once may pick the same one.
set_tests_properties(qt_window_on_xvfb_1366x768 PROPERTIES TIMEOUT 300 RESOURCE_LOCK xvfb
                     ENVIRONMENT "QT_QPA_PLATFORM=xcb")

# The threaded file work through the real backend: paints and input while files are in flight.
add_executable(qt_work_tests qt/work_test.cpp)
target_link_libraries(qt_work_tests PRIVATE quorvel_qt quorvel_app wekfile GTest::gtest Qt6::Widgets Qt6::Test)
target_compile_definitions(qt_work_tests PRIVATE QUORVEL_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
gtest_discover_tests(qt_work_tests
  DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=${QUORVEL_OFFSCREEN}" TIMEOUT 300)

# The Linux program started outside a desktop session.
add_test(NAME quorvel_without_a_desktop
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/no_display_test.sh $<TARGET_FILE:quorvel>)

# `quorvel FOLDER` browses FOLDER at once, however the folder is written.
add_test(NAME quorvel_starts_on_a_folder
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/start_folder_test.sh
                 $<TARGET_FILE:quorvel> $<TARGET_FILE:olvtool> $<TARGET_FILE:quorvel_drive>)
set_tests_properties(quorvel_starts_on_a_folder PROPERTIES TIMEOUT 600)

# The window's X11 class is the StartupWMClass its desktop entry declares (on Xvfb).
add_test(NAME quorvel_window_class_matches_the_desktop_entry
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/wm_class_test.sh $<TARGET_FILE:quorvel>
                 ${PROJECT_SOURCE_DIR}/packaging/linux/${QUORVEL_APP_ID}.desktop)
set_tests_properties(quorvel_window_class_matches_the_desktop_entry PROPERTIES TIMEOUT 120 RESOURCE_LOCK xvfb)
