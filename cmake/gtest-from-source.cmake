# GoogleTest compiled from Debian's source package (googletest) by the build's own compiler, for
# cross builds that have no GoogleTest library of their target. Defines gtest, gtest_main and
# their GTest::gtest and GTest::gtest_main aliases. Its own code is not held to the project's
# warnings.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(QUORVEL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
add_subdirectory(${QUORVEL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)
