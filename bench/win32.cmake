# The Windows benchmark: Browse and Fix files on the real Win32 dialog against olvtool.exe on
# the same tree, run under Wine by bench/bench_windows.sh. It prints figures; it is not a test.
add_executable(bench_win32 ${CMAKE_CURRENT_LIST_DIR}/bench_win32.cpp)
target_link_libraries(bench_win32 PRIVATE quorvel_win32 quorvel_app quorvel_win32_resources wekfile psapi)
target_link_options(bench_win32 PRIVATE -municode)
add_dependencies(bench_win32 olvtool)
