# The Qt backend on the real widgets, on Qt's offscreen platform (no display needed).
# Screenshots of the main window go to ${CMAKE_BINARY_DIR}/screenshots.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

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
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${CMAKE_BINARY_DIR}/tests/qt-config"
    TIMEOUT 300)

# The threaded file work through the real backend: paints and input while files are in flight.
add_executable(qt_work_tests qt/work_test.cpp)
target_link_libraries(qt_work_tests PRIVATE quorvel_qt quorvel_app wekfile GTest::gtest Qt6::Widgets Qt6::Test)
target_compile_definitions(qt_work_tests PRIVATE QUORVEL_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
gtest_discover_tests(qt_work_tests
  DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)

# The Linux program started outside a desktop session.
add_test(NAME quorvel_without_a_desktop
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/no_display_test.sh $<TARGET_FILE:quorvel>)
