# The harness that drives the installed Linux program in scripts/test_package.sh (LD_PRELOAD).
add_library(quorvel_drive MODULE ${CMAKE_CURRENT_LIST_DIR}/drive_quorvel.cpp)
target_link_libraries(quorvel_drive PRIVATE Qt6::Widgets)
