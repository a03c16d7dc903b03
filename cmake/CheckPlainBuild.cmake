# Configures the project as a user would, with no preset, and fails if any
# compile line treats warnings as errors: another compiler or optimisation
# level must not break a user's build on a warning it adds.
#   cmake -DSOURCE=<repo> -DBINARY=<scratch folder> -P CheckPlainBuild.cmake
file(REMOVE_RECURSE ${BINARY})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G Ninja -DCMAKE_BUILD_TYPE=Release
  -DMORVIK_PLATFORM=sim -DCMAKE_EXPORT_COMPILE_COMMANDS=ON RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "a plain configure failed")
endif()
file(READ ${BINARY}/compile_commands.json commands)
file(REMOVE_RECURSE ${BINARY})
if(commands MATCHES "-Werror")
  message(FATAL_ERROR "a plain build treats warnings as errors")
endif()
