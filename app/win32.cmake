# quorvel.exe: the Win32 entry point on the backend, with the resources, linked statically.
add_executable(quorvel WIN32 ${CMAKE_CURRENT_LIST_DIR}/main_win32.cpp)
target_link_libraries(quorvel PRIVATE quorvel_win32 quorvel_app quorvel_win32_resources)
# wWinMain: the command line arrives as UTF-16. Release builds drop their symbols (half the size).
target_link_options(quorvel PRIVATE -municode $<$<CONFIG:Release,MinSizeRel>:-s>)
# The 32-bit program may use 4 GiB of addresses on 64-bit Windows rather than 2.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(quorvel PRIVATE -Wl,--large-address-aware)
endif()
