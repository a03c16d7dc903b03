# Warnings are errors in every target of ours; dependencies come in as system headers.
function(morvik_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion -Werror)
endfunction()

function(morvik_library target)
  add_library(${target} STATIC ${ARGN})
  morvik_warnings(${target})
endfunction()

# A helper executable: the same name on every platform, at the top of the
# build folder, listed in helpers.txt for the macOS check.
function(morvik_helper target)
  add_executable(${target} ${ARGN})
  morvik_warnings(${target})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  set_property(GLOBAL APPEND PROPERTY MORVIK_HELPERS ${target})
  get_property(helpers GLOBAL PROPERTY MORVIK_HELPERS)
  list(JOIN helpers "\n" lines)
  file(WRITE ${CMAKE_BINARY_DIR}/helpers.txt "${lines}\n")
endfunction()
