# Every target of ours is built with these warnings; dependencies come in as
# system headers. They are errors only where the compiler is known (the
# presets, CI, the macOS check): a user's own build with another compiler or
# optimisation level must not break on a warning that compiler adds.
option(MORVIK_WARNINGS_AS_ERRORS "Treat warnings as errors" OFF)
function(morvik_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion $<$<BOOL:${MORVIK_WARNINGS_AS_ERRORS}>:-Werror>)
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

set(MORVIK_BUNDLE_PREFIX "studio.morvik.helpers" CACHE STRING "Bundle identifier prefix of the helpers' Info.plist")
set(MORVIK_CODESIGN_IDENTITY "-" CACHE STRING "codesign identity for the macOS helpers (- is ad-hoc)")
option(MORVIK_HARDENED_RUNTIME "Sign the macOS helpers with the hardened runtime" OFF)

# Why the helpers ask for each permission; the application's own Info.plist
# carries the same texts (docs/macos.md).
set(MORVIK_USAGE_bluetooth NSBluetoothAlwaysUsageDescription
  "Morvik Studio 通过蓝牙连接 Morvik Pro 键盘，用于读写键盘配置和使用键盘上的麦克风。")
set(MORVIK_USAGE_speech NSSpeechRecognitionUsageDescription
  "Morvik Studio 把键盘麦克风录下的语音转成文字，用于听写。")

# The helper's Info.plist with the usage descriptions of the permissions it
# asks for (bluetooth, speech), filled in at configure time. On macOS it is
# embedded in the executable's __TEXT,__info_plist section, and the helper is
# signed after the link where codesign exists (a Mac); a cross link with lld
# signs arm64 ad hoc by itself.
function(morvik_info_plist target)
  string(REPLACE "morvik-" "" plist_suffix ${target})
  set(plist_name ${target})
  set(plist_usage "")
  foreach(permission ${ARGN})
    list(GET MORVIK_USAGE_${permission} 0 key)
    list(GET MORVIK_USAGE_${permission} 1 text)
    string(APPEND plist_usage "\t<key>${key}</key>\n\t<string>${text}</string>\n")
  endforeach()
  set(plist ${CMAKE_CURRENT_BINARY_DIR}/${target}.Info.plist)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Info.plist.in ${plist} @ONLY)
  set_property(TARGET ${target} PROPERTY MORVIK_INFO_PLIST ${plist})
  if(APPLE)
    target_link_options(${target} PRIVATE LINKER:-sectcreate,__TEXT,__info_plist,${plist})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${plist})
    find_program(MORVIK_CODESIGN codesign)
    if(MORVIK_CODESIGN)
      set(flags --force --sign ${MORVIK_CODESIGN_IDENTITY})
      if(MORVIK_HARDENED_RUNTIME)
        list(APPEND flags --options runtime --timestamp)
      endif()
      add_custom_command(TARGET ${target} POST_BUILD COMMAND ${MORVIK_CODESIGN} ${flags} $<TARGET_FILE:${target}>
        VERBATIM)
    endif()
  endif()
endfunction()

# The process tests also drive the simulated helper when the build is for a
# real platform: `helper` built from `main` with `libraries`, keeping its name
# one folder down (build/<preset>/sim/). Sets `out_var` to the path of the
# simulated helper, which in a sim build is the helper itself.
function(morvik_sim_helper helper main out_var)
  if(MORVIK_PLATFORM STREQUAL "sim")
    set(${out_var} $<TARGET_FILE:${helper}> PARENT_SCOPE)
    return()
  endif()
  add_executable(${helper}-sim ${main})
  morvik_warnings(${helper}-sim)
  set_target_properties(${helper}-sim PROPERTIES OUTPUT_NAME ${helper} RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/sim)
  target_link_libraries(${helper}-sim PRIVATE ${ARGN})
  set(${out_var} $<TARGET_FILE:${helper}-sim> PARENT_SCOPE)
endfunction()

# The Speech headers import the AVFoundation umbrella, which a cross build's
# SDK may lack; what they use of it is AVFAudio (and CoreMedia), so a
# generated stand-in umbrella serves the compiler. Nothing is linked from it.
function(morvik_avfoundation_shim target)
  if(NOT MORVIK_CROSS_DARWIN OR EXISTS ${CMAKE_OSX_SYSROOT}/System/Library/Frameworks/AVFoundation.framework)
    return()
  endif()
  set(shim ${CMAKE_BINARY_DIR}/avfoundation-shim)
  file(WRITE ${shim}/AVFoundation.framework/Headers/AVFoundation.h
    "#import <AVFAudio/AVFAudio.h>\n#import <CoreMedia/CoreMedia.h>\n")
  target_compile_options(${target} PRIVATE -F${shim})
endfunction()

# The accessibility functions (AX...) of ApplicationServices. A stripped
# SDK's umbrella does not re-export its HIServices sub-framework, so a cross
# build links that one too; a Mac links the umbrella alone.
function(morvik_link_accessibility target)
  target_link_libraries(${target} PUBLIC "-framework ApplicationServices")
  if(MORVIK_CROSS_DARWIN)
    target_link_libraries(${target} PUBLIC
      "-F${CMAKE_OSX_SYSROOT}/System/Library/Frameworks/ApplicationServices.framework/Frameworks"
      "-framework HIServices")
  endif()
endfunction()
