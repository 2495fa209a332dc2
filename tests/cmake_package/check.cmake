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

function(fail)
  string(JOIN "" text ${ARGN})
  message(FATAL_ERROR "${CASE}: ${text}")
endfunction()

# Writes an executable script that runs the tool in the case's tree, with
# standard output redirected as given.
function(make_tool_wrapper redirect)
  file(WRITE ${case_dir}/gpu_arch.sh
       "#!/bin/sh\ncd '${case_dir}/tree' && exec ${EMULATOR} '${TOOL}' ${redirect}\n")
  file(CHMOD ${case_dir}/gpu_arch.sh PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                 WORLD_READ WORLD_EXECUTE)
endfunction()

# Configures the consumer; sets status, output (both streams) and what it found.
macro(configure_consumer requested_version)
  file(REMOVE_RECURSE ${case_dir}/build)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${case_dir}/build
                          -D CMAKE_PREFIX_PATH=${prefix} -D REQUESTED_VERSION=${requested_version}
                          -D GPU_ARCH_EXECUTABLE=${case_dir}/gpu_arch.sh
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(location "<none>")
  set(architectures "<none>")
  set(count "<none>")
  include(${case_dir}/build/found.cmake OPTIONAL)
endmacro()

function(expect_found expected_architectures expected_count)
  if(NOT status EQUAL 0)
    fail("configuring the consumer failed:\n" "${output}")
  endif()
  if(NOT architectures STREQUAL expected_architectures OR NOT count STREQUAL expected_count)
    fail("gpu_arch_detect gave '${architectures}' (${count}), expected '${expected_architectures}' "
         "(${expected_count})\n" "${output}")
  endif()
endfunction()

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
  configure_consumer(${major}.0)
  expect_found("" 0)
  file(REAL_PATH ${prefix}/bin/gpu_arch installed)
  file(REAL_PATH "${location}" imported)
  if(NOT imported STREQUAL installed)
    fail("gpu_arch::gpu_arch is '${location}', not the installed ${installed}")
  endif()
  # Another major version is refused, older or newer.
  math(EXPR next_major "${major} + 1")
  math(EXPR previous_major "${major} - 1")
  foreach(other ${next_major}.0 ${previous_major}.0)
    configure_consumer(${other})
    if(status EQUAL 0 OR NOT output MATCHES "gpu_arch-config.cmake, version: ${major}\\.${minor}")
      fail("version ${other} was not refused:\n" "${output}")
    endif()
  endforeach()
elseif(CASE STREQUAL "duplicates_and_cpu")
  # Whatever order the directory lists the nodes in, quarn1000 comes first.
  file(WRITE ${nodes}/0/properties "cpu_cores 8\nisa_major 0\n")
  file(WRITE ${nodes}/1/properties "isa_major 10\nisa_major 9 isa_minor 4\nisa_major 10\n")
  file(WRITE ${nodes}/2/properties "isa_major 10\n")
  configure_consumer(${major})
  expect_found("quarn1000;quarn904" 2)
elseif(CASE STREQUAL "empty")
  configure_consumer(${major})
  expect_found("" 0)
elseif(CASE STREQUAL "lost_output")
  file(WRITE ${nodes}/1/properties "isa_major 10\n")
  make_tool_wrapper(">/dev/full")
  configure_consumer(${major})
  expect_found("" 0)
  string(REGEX REPLACE "[ \n]+" " " flat "${output}")
  if(NOT flat MATCHES "CMake Warning.*gpu_arch_detect: .*failed \\(1\\): write: No space left on device")
    fail("no warning with the tool's message:\n" "${output}")
  endif()
else()
  fail("unknown case")
endif()
