# The headless benchmark: builds a large folder tree and times Browse and Fix files on the
# scripted port against plain loops over the same files. It prints figures; it is not a test.
if(NOT WIN32)
  # The fixture tree builder, shared with the other benchmarks.
  add_library(quorvel_bench_tree STATIC ${CMAKE_CURRENT_LIST_DIR}/BenchTree.cpp)
  target_include_directories(quorvel_bench_tree PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(quorvel_bench_tree PUBLIC wekfile)

  add_executable(bench_headless ${CMAKE_CURRENT_LIST_DIR}/bench_headless.cpp)
  target_link_libraries(bench_headless PRIVATE quorvel_bench_tree quorvel_scripted quorvel_app)
endif()

# What one save of the file library costs: peak memory of a large file, the reading back.
if(NOT WIN32)
  add_executable(bench_save ${CMAKE_CURRENT_LIST_DIR}/bench_save.cpp)
  target_link_libraries(bench_save PRIVATE wekfile)
endif()
