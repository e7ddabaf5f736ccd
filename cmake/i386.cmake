# Toolchain for the 32-bit x86 build, the application's ABI, on an x86-64
# Debian host (gcc-multilib, g++-multilib): the core and its C++ tests, and
# the modules for the 32-bit CPython 2.7 and 3 of cmake/interpreters.txt
# (each run by the build's launcher; cmake/PackagedPython.cmake) with their
# tests:
#
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake
#
# Plain i686 code generation: no SSE2 by default, so the vector paths are
# chosen at run time as on the 32-bit machines the product ships for.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -march=i686")
set(CMAKE_CXX_FLAGS_INIT "-m32 -march=i686")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Libraries and packages of the host (x86-64) must not be picked up.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake
    /usr/lib/x86_64-linux-gnu/cmake/GTest)

# Whether the programs built here run straight on the kernel or under
# qemu-i386 is worked out by cmake/I386Emulation.cmake (switch
# TILESTREAM_I386_EMULATION), which also gives ctest the emulator.
