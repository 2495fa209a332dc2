# SPDX-License-Identifier: MIT
# cmake -D CASE=... -D BUILD_DIR=... -D SCRATCH=... -D TOOL=... [-D EMULATOR=...] -P check.cmake
#
# CASE install puts BUILD_DIR into SCRATCH/prefix; every other CASE configures
# the consumer project beside this file against that prefix, with
# GPU_ARCH_EXECUTABLE running TOOL (the test build of gpu_arch, which reads the
# tree below its working directory) in a tree made for the case, and checks
# what find_package and gpu_arch_detect gave.

set(prefix ${SCRATCH}/prefix)
set(case_dir ${SCRATCH}/${CASE})
set(nodes ${case_dir}/tree/sys/devices/virtual/zerdo/qlvn/layout/nodes)
set(wrapper ${case_dir}/gpu_arch.sh)

function(fail)
  string(JOIN "" text ${ARGN})
  message(FATAL_ERROR "${CASE}: ${text}")
endfunction()

# Writes an executable script that runs the tool in the case's tree, with
# standard output redirected as given, or that runs the given commands instead.
function(make_tool_wrapper redirect)
  set(body "cd '${case_dir}/tree' && exec ${EMULATOR} '${TOOL}' ${redirect}")
  if(ARGN)
    string(JOIN "\n" body ${ARGN})
  endif()
  file(WRITE ${wrapper} "#!/bin/sh\n${body}\n")
  file(CHMOD ${wrapper} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
endfunction()

# Configures the consumer with the given arguments; sets status, output (both
# streams) and what it found.
macro(configure_consumer requested_version)
  file(REMOVE_RECURSE ${case_dir}/build)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${case_dir}/build
                          -D CMAKE_PREFIX_PATH=${prefix} -D REQUESTED_VERSION=${requested_version} ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(location "<none>")
  set(architectures "<none>")
  set(count "<none>")
  include(${case_dir}/build/found.cmake OPTIONAL)
endmacro()

if(CASE STREQUAL "install")
  file(REMOVE_RECURSE ${SCRATCH})
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  return()
endif()

file(REMOVE_RECURSE ${case_dir})
file(MAKE_DIRECTORY ${nodes})
make_tool_wrapper("")
file(READ ${BUILD_DIR}/gpu_arch-config-version.cmake version_file)
string(REGEX MATCH "PACKAGE_VERSION \"([0-9]+)\\.([0-9]+)" ignored "${version_file}")
set(major ${CMAKE_MATCH_1})
set(minor ${CMAKE_MATCH_2})

if(CASE STREQUAL "version_and_target")
  # The same major version is accepted.
  configure_consumer(${major}.0 -D GPU_ARCH_EXECUTABLE=${wrapper})
  if(NOT status EQUAL 0 OR NOT architectures STREQUAL "")
    fail("configuring the consumer failed or found '${architectures}':\n" "${output}")
  endif()
  file(REAL_PATH ${prefix}/bin/gpu_arch installed)
  file(REAL_PATH "${location}" imported)
  if(NOT imported STREQUAL installed)
    fail("gpu_arch::gpu_arch is '${location}', not the installed ${installed}")
  endif()
  # Another major version is refused, older or newer.
  math(EXPR next_major "${major} + 1")
  math(EXPR previous_major "${major} - 1")
  foreach(other ${next_major}.0 ${previous_major}.0)
    configure_consumer(${other} -D GPU_ARCH_EXECUTABLE=${wrapper})
    if(status EQUAL 0 OR NOT output MATCHES "gpu_arch-config.cmake, version: ${major}\\.${minor}")
      fail("version ${other} was not refused:\n" "${output}")
    endif()
  endforeach()
  return()
endif()

# The other cases, one row each: the tree and the consumer's arguments, then
# expect(<list> <count> [<warning> <times>]): the list and count that
# gpu_arch_detect gives, and a regular expression that the consumer's warnings
# match, over its two calls of gpu_arch_detect; no warning when none is given.
function(expect list count)
  set(expected_architectures "${list}" PARENT_SCOPE)
  set(expected_count ${count} PARENT_SCOPE)
  set(expected_warning "${ARGV2}" PARENT_SCOPE)
  set(expected_warnings 0${ARGV3} PARENT_SCOPE)
endfunction()
set(args -D GPU_ARCH_EXECUTABLE=${wrapper})
if(CASE STREQUAL "duplicates_and_cpu")
  # Whatever order the directory lists the nodes in, quarn1000 comes first.
  file(WRITE ${nodes}/0/properties "cpu_cores 8\nisa_major 0\n")
  file(WRITE ${nodes}/1/properties "isa_major 10\nisa_major 9 isa_minor 4\nisa_major 10\n")
  file(WRITE ${nodes}/2/properties "isa_major 10\n")
  expect("quarn1000;quarn904" 2)
elseif(CASE STREQUAL "empty")
  expect("" 0)
elseif(CASE STREQUAL "messages_on_success")
  # The tool reports the node without properties on standard error and
  # succeeds: the message is no architecture.
  file(MAKE_DIRECTORY ${nodes}/0)
  file(WRITE ${nodes}/1/properties "isa_major 10\n")
  expect("quarn1000" 1)
elseif(CASE STREQUAL "typed_executable")
  file(WRITE ${nodes}/1/properties "isa_major 9 isa_minor 4\n")
  set(args -D GPU_ARCH_EXECUTABLE:FILEPATH=${wrapper})
  expect("quarn904" 1)
elseif(CASE STREQUAL "lost_output")
  file(WRITE ${nodes}/1/properties "isa_major 10\n")
  make_tool_wrapper(">/dev/full")
  expect("" 0 "gpu_arch_detect: .*failed \\(1\\): write: No space left on device" 2)
elseif(CASE STREQUAL "missing_program")
  set(args -D GPU_ARCH_EXECUTABLE=${case_dir}/missing)
  expect("" 0 "gpu_arch_detect: .*missing failed \\(No such file or directory\\)" 2)
elseif(CASE STREQUAL "killed_program")
  file(WRITE ${nodes}/1/properties "isa_major 10\n")
  make_tool_wrapper("" "echo quarn1000" "kill -SEGV $$")
  expect("" 0 "gpu_arch_detect: .*failed \\(Segmentation fault\\)" 2)
elseif(CASE STREQUAL "cross_compiling")
  # The installed program would answer for the build machine: it is not run.
  set(args -D CMAKE_SYSTEM_NAME=Linux -D CMAKE_SYSTEM_PROCESSOR=aarch64)
  expect("" 0 "cross-compiling for Linux on aarch64.*build machine.*architectures in architectures.*GPU_ARCH_EXECUTABLE" 1)
elseif(CASE STREQUAL "cross_compiling_with_executable")
  file(WRITE ${nodes}/1/properties "isa_major 10\n")
  list(APPEND args -D CMAKE_SYSTEM_NAME=Linux -D CMAKE_SYSTEM_PROCESSOR=aarch64)
  expect("quarn1000" 1)
else()
  fail("unknown case")
endif()

configure_consumer(${major} ${args})
if(NOT status EQUAL 0)
  fail("configuring the consumer failed:\n" "${output}")
endif()
if(NOT architectures STREQUAL expected_architectures OR NOT count STREQUAL expected_count)
  fail("gpu_arch_detect gave '${architectures}' (${count}), expected '${expected_architectures}' "
       "(${expected_count})\n" "${output}")
endif()
string(REGEX REPLACE "[ \n]+" " " flat "${output}")
string(REGEX MATCHALL "CMake Warning" warnings "${flat}")
list(LENGTH warnings warning_count)
if(NOT warning_count EQUAL expected_warnings OR (expected_warning AND NOT flat MATCHES "CMake Warning.*${expected_warning}"))
  fail("expected ${expected_warnings} warning(s) that match '${expected_warning}':\n" "${output}")
endif()
