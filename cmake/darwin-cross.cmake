# Cross-compiles the helpers for macOS from Linux with clang and lld,
# against a macOS SDK, one architecture per build tree (scripts/darwin-check
# merges them into universal binaries).
#   -DMORVIK_MACOS_SDK=/path/to/MacOSX12.sdk   (the folder holding System/ and usr/)
#   -DMORVIK_MACOS_ARCH=arm64|x86_64
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 21.0)

set(MORVIK_MACOS_SDK "$ENV{MORVIK_MACOS_SDK}" CACHE PATH "macOS SDK root")
set(MORVIK_MACOS_ARCH "arm64" CACHE STRING "arm64 or x86_64")
if(NOT EXISTS "${MORVIK_MACOS_SDK}/System/Library/Frameworks")
  message(FATAL_ERROR "MORVIK_MACOS_SDK='${MORVIK_MACOS_SDK}' is not a macOS SDK root")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${MORVIK_MACOS_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${MORVIK_MACOS_ARCH})
set(CMAKE_OSX_DEPLOYMENT_TARGET 12.0)
set(CMAKE_OSX_SYSROOT ${MORVIK_MACOS_SDK})
# Try-compiles must see the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MORVIK_MACOS_SDK MORVIK_MACOS_ARCH)

find_program(MORVIK_CLANG NAMES clang-14 clang REQUIRED)
find_program(MORVIK_CLANGXX NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_C_COMPILER ${MORVIK_CLANG})
set(CMAKE_CXX_COMPILER ${MORVIK_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${MORVIK_CLANGXX})
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER_TARGET ${MORVIK_MACOS_ARCH}-apple-macos12)
endforeach()

# Apple's libc++ from the SDK, not the host's C++ library.
set(libcxx "-stdlib=libc++ -nostdinc++ -isystem ${MORVIK_MACOS_SDK}/usr/include/c++/v1")
set(CMAKE_CXX_FLAGS_INIT "${libcxx}")
set(CMAKE_OBJCXX_FLAGS_INIT "${libcxx}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -stdlib=libc++ -Wno-unused-command-line-argument")
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-14 llvm-install-name-tool)
find_program(CMAKE_LIPO NAMES llvm-lipo-14 llvm-lipo)

# Headers and libraries come from the SDK only; host programs stay usable.
set(CMAKE_FIND_ROOT_PATH ${MORVIK_MACOS_SDK})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(MORVIK_CROSS_DARWIN ON)
