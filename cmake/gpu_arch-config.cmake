# SPDX-License-Identifier: MIT
# find_package(gpu_arch CONFIG): the imported program gpu_arch::gpu_arch, the
# cache variable GPU_ARCH_EXECUTABLE and gpu_arch_detect(). What each gives
# is documented in gpu_arch(1), section CMAKE PACKAGE.

include("${CMAKE_CURRENT_LIST_DIR}/gpu_arch-targets.cmake")

if(CMAKE_CROSSCOMPILING)
  set(_gpu_arch_default "")
else()
  get_target_property(_gpu_arch_default gpu_arch::gpu_arch LOCATION)
endif()
set(GPU_ARCH_EXECUTABLE "${_gpu_arch_default}" CACHE FILEPATH "The gpu_arch program that gpu_arch_detect() runs")
unset(_gpu_arch_default)

function(gpu_arch_detect out_var)
  set(${out_var} "" PARENT_SCOPE)
  if(NOT GPU_ARCH_EXECUTABLE)
    get_property(warned GLOBAL PROPERTY _gpu_arch_cross_warned)
    if(NOT warned)
      set_property(GLOBAL PROPERTY _gpu_arch_cross_warned TRUE)
      message(WARNING "gpu_arch_detect: cross-compiling for ${CMAKE_SYSTEM_NAME} on ${CMAKE_SYSTEM_PROCESSOR}, "
                      "and the GPUs of the build machine say nothing about the target's. Give the target's "
                      "architectures in ${out_var} yourself instead of detecting them (-D${out_var}=quarn1000), "
                      "or set GPU_ARCH_EXECUTABLE to a program that answers for the target.")
    endif()
    return()
  endif()
  execute_process(COMMAND "${GPU_ARCH_EXECUTABLE}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  string(STRIP "${errors}" errors)
  if(NOT status STREQUAL "0")
    message(WARNING "gpu_arch_detect: ${GPU_ARCH_EXECUTABLE} failed (${status}): ${errors}")
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
