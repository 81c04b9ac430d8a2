# Cross-compiles the toolkit-free parts for 32-bit x86 Linux with Debian's i686 cross compiler:
#   cmake -S . -B build-i686 -G Ninja -DQUORVEL_BUILD_QT=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake
# The programs use the i386 run-time libraries (libc6-i386, lib32stdc++6) through the usual
# /lib/ld-linux.so.2; on a 64-bit machine that cannot run them natively, scripts/test_i686.sh
# runs them under qemu-i386 through binfmt_misc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

# Headers and libraries come from the cross sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# List the tests when ctest runs them, not right after linking: the build then needs no way to
# execute 32-bit programs, and compiles (with its 32-bit warnings) even where none exists.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
