# Windows tests, run under Wine by scripts/test_windows.sh, with GoogleTest compiled from source
# by the cross compiler (cmake/gtest-from-source.cmake).
add_executable(win32_tests
  ${CMAKE_CURRENT_LIST_DIR}/desktop_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dialog_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/end_to_end_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/files_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/keys_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/layout_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/olvtool_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/list_test.cpp)
# The olvtool.exe tests run the program of the same build.
add_dependencies(win32_tests olvtool)
target_link_libraries(win32_tests PRIVATE quorvel_win32 quorvel_app quorvel_win32_resources wekfile version gtest_main)
# Runs through CMAKE_CROSSCOMPILING_EMULATOR (wine); the display and prefix come from the caller.
add_test(NAME win32_tests COMMAND win32_tests)
