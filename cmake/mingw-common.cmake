# Shared part of the mingw-w64 toolchain files. Expects QUORVEL_MINGW_TRIPLE, e.g.
# i686-w64-mingw32, and uses Debian's cross compilers, resource compiler and libraries.
set(CMAKE_SYSTEM_NAME Windows)

# The POSIX thread model: GoogleTest needs std::mutex, which GCC 12's win32 model lacks.
# -static links its winpthread library in, so the .exe still needs no DLL of its own.
set(CMAKE_C_COMPILER ${QUORVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVEL_MINGW_TRIPLE}-windres)

# Headers and libraries come from the mingw sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static run-time libraries: the .exe needs no mingw DLL beside it on a clean Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The oldest Windows the programs run on, declared so that an older one refuses to start them
# instead of failing on a missing entry point: Vista (6.0) brought GetTickCount64,
# GetFinalPathNameByHandleW, SetFileInformationByHandle and SHGetPathFromIDListEx, and is the
# oldest system the manifest lists.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT
  " -Wl,--major-os-version,6,--minor-os-version,0,--major-subsystem-version,6,--minor-subsystem-version,0")
# DEP and ASLR (with the relocations it needs), whatever the linker's defaults; 64-bit programs
# also get addresses above 4 GiB. 32-bit programs are large-address-aware: on 64-bit Windows
# they get 4 GiB of address space instead of 2 (a list of a million rows, a large file).
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--nxcompat,--dynamicbase")
if(QUORVEL_MINGW_TRIPLE MATCHES "^x86_64")
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--high-entropy-va")
else()
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--large-address-aware")
endif()

# ctest runs the Windows test programs through Wine, each build under its own loader by name:
# once wine32:i386 is installed, Debian's plain `wine` picks the 32-bit loader.
if(QUORVEL_MINGW_TRIPLE MATCHES "^x86_64")
  find_program(QUORVEL_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
else()
  find_program(QUORVEL_WINE_LOADER NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
endif()
if(QUORVEL_WINE_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEL_WINE_LOADER})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
