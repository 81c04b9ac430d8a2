# The Qt benchmark: Browse and Fix files through the real Qt backend on the offscreen platform
# against a plain readdir-and-read-header loop over the same tree, and the peak memory of a
# million-row list. It prints figures; it is not a test.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_executable(bench_qt ${CMAKE_CURRENT_LIST_DIR}/bench_qt.cpp)
target_link_libraries(bench_qt PRIVATE quorvel_bench_tree quorvel_qt quorvel_scripted quorvel_app)
