# A cross build for macOS takes the header-only libraries from the host, but
# through a folder of their own: putting the host's /usr/include on a macOS
# compile line would bring Linux headers along.
find_path(morvik_nlohmann_dir nlohmann/json.hpp PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH
  NO_DEFAULT_PATH REQUIRED)
set(morvik_host_headers ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${morvik_host_headers})
file(CREATE_LINK ${morvik_nlohmann_dir}/nlohmann ${morvik_host_headers}/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${morvik_host_headers})
