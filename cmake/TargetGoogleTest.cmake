# A cross build for macOS cannot use the host's GoogleTest libraries: it
# builds Debian's GoogleTest sources (googletest-source, /usr/src/googletest)
# for the target instead, and its tests are listed when ctest runs them on a
# Mac, not after the link, where a Linux host cannot start them.
set(MORVIK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources built for a cross target")
if(NOT EXISTS ${MORVIK_GOOGLETEST_SOURCE}/googletest/CMakeLists.txt)
  message(FATAL_ERROR "no GoogleTest sources at '${MORVIK_GOOGLETEST_SOURCE}' (apt-get install googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${MORVIK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
