# quorvel.exe: the Win32 entry point on the backend, with the resources, linked statically.
add_executable(quorvel WIN32 ${CMAKE_CURRENT_LIST_DIR}/main_win32.cpp)
target_link_libraries(quorvel PRIVATE quorvel_win32 quorvel_app quorvel_win32_resources)
# wWinMain: the command line arrives as UTF-16. Release builds drop their symbols (half the size).
target_link_options(quorvel PRIVATE -municode $<$<CONFIG:Release,MinSizeRel>:-s>)

# olvtool.exe: wmain takes the wide command line and hands the arguments on in UTF-8; text to a
# console goes out as UTF-16, to pipes and files as UTF-8.
target_sources(olvtool PRIVATE ${CMAKE_CURRENT_LIST_DIR}/olvtool_win32.cpp ${CMAKE_CURRENT_LIST_DIR}/ConsoleText.cpp)
target_link_options(olvtool PRIVATE -municode)
