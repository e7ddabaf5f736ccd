# Toolchain for building the macOS modules on Linux, against a macOS SDK,
# with Debian's clang and lld (packages clang, lld, llvm):
#
#   cmake -S . -B build-macos-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/macos.cmake \
#         -DTILESTREAM_MACOS_SDK=/path/to/MacOSX11.3.sdk \
#         -DCMAKE_OSX_ARCHITECTURES=x86_64 -DCMAKE_OSX_DEPLOYMENT_TARGET=10.13 \
#         -DPYTHON3_INCLUDE_DIR=... -DTILESTREAM_PYTHON_VERSIONS=3 \
#         -DBUILD_TESTS=OFF -DBUILD_BENCH=OFF
#
# CMAKE_OSX_ARCHITECTURES is x86_64, arm64 or "x86_64;arm64" (one universal
# bundle; the arm64 slice never targets less than 11.0). Nothing built here
# runs on this host, so the interpreter's headers are given, not asked for
# (tests/macos/check_bundles.py prepares them). The SDK's path can also come
# from the environment variable TILESTREAM_MACOS_SDK.
set(CMAKE_SYSTEM_NAME Darwin)

if(NOT TILESTREAM_MACOS_SDK)
  set(TILESTREAM_MACOS_SDK "$ENV{TILESTREAM_MACOS_SDK}")
endif()
if(NOT TILESTREAM_MACOS_SDK OR NOT EXISTS "${TILESTREAM_MACOS_SDK}/usr/include/stdio.h")
  message(FATAL_ERROR "cmake/macos.cmake needs a macOS SDK: -DTILESTREAM_MACOS_SDK=<dir> "
                      "(the directory holding System/ and usr/), got '${TILESTREAM_MACOS_SDK}'")
endif()
# Kept for the try_compile projects, which read this file again.
set(TILESTREAM_MACOS_SDK "${TILESTREAM_MACOS_SDK}" CACHE PATH "macOS SDK to build against")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TILESTREAM_MACOS_SDK)
set(CMAKE_OSX_SYSROOT "${TILESTREAM_MACOS_SDK}" CACHE PATH "")

if(NOT CMAKE_OSX_ARCHITECTURES)
  set(CMAKE_OSX_ARCHITECTURES x86_64 CACHE STRING "")
endif()
# The oldest systems the modules are for: 10.13 on x86_64, 11.0 (the first
# on arm64) for an arm64-only build; clang raises an arm64 slice to 11.0.
if(NOT CMAKE_OSX_DEPLOYMENT_TARGET)
  if(CMAKE_OSX_ARCHITECTURES STREQUAL "arm64")
    set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0 CACHE STRING "")
  else()
    set(CMAKE_OSX_DEPLOYMENT_TARGET 10.13 CACHE STRING "")
  endif()
endif()
list(GET CMAKE_OSX_ARCHITECTURES 0 _macos_first_arch)
set(CMAKE_SYSTEM_PROCESSOR ${_macos_first_arch})

# The LLVM tools next to the clang that compiles: ld64.lld links, llvm-lipo
# joins the slices of a universal object, llvm-libtool-darwin archives
# (unlike llvm-ar it keeps universal objects universal, as Apple's libtool
# does).
find_program(TILESTREAM_MACOS_CLANGXX NAMES clang++ NO_CMAKE_FIND_ROOT_PATH REQUIRED)
get_filename_component(_macos_llvm_bin "${TILESTREAM_MACOS_CLANGXX}" REALPATH)
get_filename_component(_macos_llvm_bin "${_macos_llvm_bin}" DIRECTORY)
set(CMAKE_C_COMPILER "${_macos_llvm_bin}/clang")
set(CMAKE_CXX_COMPILER "${_macos_llvm_bin}/clang++")
set(CMAKE_C_COMPILER_TARGET ${_macos_first_arch}-apple-darwin)
set(CMAKE_CXX_COMPILER_TARGET ${_macos_first_arch}-apple-darwin)
foreach(tool ld64.lld llvm-lipo llvm-libtool-darwin llvm-install-name-tool)
  if(NOT EXISTS "${_macos_llvm_bin}/${tool}")
    message(FATAL_ERROR "cmake/macos.cmake: ${_macos_llvm_bin}/${tool} is missing (Debian: lld and llvm)")
  endif()
endforeach()

# clang calls the linker and lipo by their macOS names: links of those names
# in the build tree, put first on clang's program path with -B.
set(_macos_tools "${CMAKE_BINARY_DIR}/macos-tools")
file(MAKE_DIRECTORY "${_macos_tools}")
file(CREATE_LINK "${_macos_llvm_bin}/ld64.lld" "${_macos_tools}/ld64.lld" SYMBOLIC)
file(CREATE_LINK "${_macos_llvm_bin}/llvm-lipo" "${_macos_tools}/lipo" SYMBOLIC)
set(CMAKE_C_FLAGS_INIT "-B${_macos_tools} -stdlib=libc++")
set(CMAKE_CXX_FLAGS_INIT "-B${_macos_tools} -stdlib=libc++")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-B${_macos_tools} -fuse-ld=lld")
endforeach()

set(CMAKE_AR "${_macos_llvm_bin}/llvm-libtool-darwin" CACHE FILEPATH "")
set(CMAKE_RANLIB "" CACHE FILEPATH "")
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> -static -o <TARGET> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> -static -o <TARGET> <TARGET> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "")
endforeach()
set(CMAKE_INSTALL_NAME_TOOL "${_macos_llvm_bin}/llvm-install-name-tool" CACHE FILEPATH "")

# Only the SDK's libraries and frameworks; programs are this host's.
set(CMAKE_FIND_ROOT_PATH "${TILESTREAM_MACOS_SDK}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
