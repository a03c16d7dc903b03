# Warnings are errors in every target of ours; dependencies come in as system headers.
function(morvik_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion -Werror)
endfunction()

function(morvik_library target)
  add_library(${target} STATIC ${ARGN})
  morvik_warnings(${target})
endfunction()
