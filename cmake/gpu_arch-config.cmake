# SPDX-License-Identifier: MIT
# find_package(gpu_arch [version] CONFIG) gives:
#
#   gpu_arch::gpu_arch       the gpu_arch program, as an imported executable
#                            ($<TARGET_FILE:gpu_arch::gpu_arch> in custom commands).
#   GPU_ARCH_EXECUTABLE      cache variable: the program gpu_arch_detect runs;
#                            defaults to gpu_arch::gpu_arch, set it to run another.
#   gpu_arch_detect(<var>)   runs that program once and sets <var> to the GPU
#                            architectures it printed, each once, in the order
#                            first printed (quarn1000;quarn904), or to an empty
#                            list when there is none. When the program fails
#                            (exit status 1: its output was lost), it warns with
#                            the program's message and <var> is empty.

include("${CMAKE_CURRENT_LIST_DIR}/gpu_arch-targets.cmake")

get_target_property(_gpu_arch_location gpu_arch::gpu_arch LOCATION)
set(GPU_ARCH_EXECUTABLE "${_gpu_arch_location}" CACHE FILEPATH "The gpu_arch program that gpu_arch_detect() runs")
unset(_gpu_arch_location)

function(gpu_arch_detect out_var)
  execute_process(COMMAND "${GPU_ARCH_EXECUTABLE}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  string(STRIP "${errors}" errors)
  if(NOT status STREQUAL "0")
    message(WARNING "gpu_arch_detect: ${GPU_ARCH_EXECUTABLE} failed (${status}): ${errors}")
    set(${out_var} "" PARENT_SCOPE)
    return()
  endif()
  if(errors)
    message(VERBOSE "gpu_arch_detect: ${errors}")
  endif()
  # Standard output holds nothing but architecture lines.
  string(REGEX MATCHALL "[^\n]+" architectures "${output}")
  list(REMOVE_DUPLICATES architectures)
  set(${out_var} "${architectures}" PARENT_SCOPE)
endfunction()
