# Windows tests, run under Wine by scripts/test_windows.sh, with GoogleTest from Debian's source
# package compiled by the cross compiler; its own code is not held to the project's warnings.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(QUORVEL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
add_subdirectory(${QUORVEL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)

add_executable(win32_tests
  ${CMAKE_CURRENT_LIST_DIR}/desktop_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dialog_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/end_to_end_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/files_test.cpp)
target_link_libraries(win32_tests PRIVATE quorvel_win32 quorvel_app quorvel_win32_resources wekfile version gtest_main)
# Runs through CMAKE_CROSSCOMPILING_EMULATOR (wine); the display and prefix come from the caller.
add_test(NAME win32_tests COMMAND win32_tests)
