# The Linux desktop program: the dialog logic on the Qt 6 Widgets backend.
add_executable(quorvel main_qt.cpp StartOptions.cpp)
target_link_libraries(quorvel PRIVATE quorvel_qt quorvel_app)
target_compile_definitions(quorvel PRIVATE QUORVEL_VERSION="${PROJECT_VERSION}")
