# Script behind the install_package test, and scripts/package.sh's check of
# the installed Debian packages (SYSTEM=ON: nothing is installed here, the
# packages are found where the system keeps them).
#
# An outside project (consumer/) and the README's example are built against
# the installed library twice, through find_package and through pkg-config,
# and run; a newer version than the one installed must be refused both ways.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}")
  endif()
endfunction()

# Fails unless the command fails saying `reason` (a regular expression).
function(run_failing reason)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(result EQUAL 0 OR NOT out MATCHES "${reason}")
    message(FATAL_ERROR "not refused for \"${reason}\" (${result}): ${ARGN}\n${out}")
  endif()
endfunction()

# The first C++ block after "## Using the library".
file(READ ${README} readme)
string(FIND "${readme}" "## Using the library" at)
string(SUBSTRING "${readme}" ${at} -1 readme)
string(REGEX MATCH "```cpp\n(.*)" readme "${readme}")
string(FIND "${CMAKE_MATCH_1}" "```" end)
string(SUBSTRING "${CMAKE_MATCH_1}" 0 ${end} example)
file(WRITE ${WORK_DIR}/readme_example.cc "${example}")

set(env)
set(cmake_prefix)
if(NOT SYSTEM)
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  set(cmake_prefix -DCMAKE_PREFIX_PATH=${prefix})
  file(GLOB pc_dirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
  string(JOIN ":" pc_path ${pc_dirs})
  set(env ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_path})
endif()

# find_package
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G Ninja ${cmake_prefix}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=Release
    -DREADME_EXAMPLE=${WORK_DIR}/readme_example.cc)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)
run(${WORK_DIR}/consumer/readme_example)
run_failing("requested version \"99\""
  ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/too_new -G Ninja ${cmake_prefix}
  -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DQM_WANT_VERSION=99
  -DREADME_EXAMPLE=${WORK_DIR}/readme_example.cc)

# pkg-config
find_program(PKG_CONFIG pkg-config)
if(NOT PKG_CONFIG)
  message(STATUS "pkg-config not found: its part of the install test skipped")
  return()
endif()
function(pkg_config out)
  execute_process(COMMAND ${env} ${PKG_CONFIG} ${ARGN} OUTPUT_VARIABLE text
    RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "pkg-config ${ARGN} failed (${result})")
  endif()
  separate_arguments(text UNIX_COMMAND "${text}")
  set(${out} ${text} PARENT_SCOPE)
endfunction()
pkg_config(flags --cflags --libs QueueManager QueueManagerEmulator)
pkg_config(libdir --variable=libdir QueueManager)
foreach(program consumer readme_example)
  set(source ${CONSUMER_DIR}/main.cc)
  if(program STREQUAL "readme_example")
    set(source ${WORK_DIR}/readme_example.cc)
  endif()
  run(${CXX_COMPILER} -std=c++20 ${source} -o ${WORK_DIR}/${program}_pc ${flags}
      -Wl,-rpath,${libdir})
  run(${WORK_DIR}/${program}_pc)
endforeach()
run_failing("QueueManager.*99" ${env} ${PKG_CONFIG} --print-errors --exists "QueueManager >= 99")
