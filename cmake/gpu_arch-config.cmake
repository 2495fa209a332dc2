# SPDX-License-Identifier: MIT
# find_package(gpu_arch CONFIG): the imported programs gpu_arch::gpu_arch and
# gpu_arch::gpu_arch-publish, the cache variables GPU_ARCH_EXECUTABLE,
# GPU_ARCH_OVERRIDE and GPU_ARCH_FLEET, and gpu_arch_detect(). What each
# gives is documented in gpu_arch(1), section CMAKE PACKAGE.

include("${CMAKE_CURRENT_LIST_DIR}/gpu_arch-targets.cmake")

if(CMAKE_CROSSCOMPILING)
  set(_gpu_arch_default "")
else()
  get_target_property(_gpu_arch_default gpu_arch::gpu_arch LOCATION)
endif()
set(GPU_ARCH_EXECUTABLE "${_gpu_arch_default}" CACHE FILEPATH "The gpu_arch program that gpu_arch_detect() runs")
unset(_gpu_arch_default)
set(GPU_ARCH_OVERRIDE "" CACHE STRING
  "GPU architectures that gpu_arch_detect() gives instead of detecting them (quarn1000;quarn904)")

# The fleet's architectures come from the build machine's gpu_arch-publish,
# which asks Slurm or Prometheus, in a cross build too.
set(GPU_ARCH_FLEET "" CACHE STRING
  "Where gpu_arch_detect() takes the fleet's architectures: slurm[:PARTITION,...], prometheus:URL or local")

# Warns with the text that the further arguments make up, once per configure
# for each cause, however often it arises; an empty cause is the text itself.
function(_gpu_arch_warn_once cause)
  # Each piece is taken as it is: a list of them would lose their semicolons.
  set(text "")
  math(EXPR last "${ARGC} - 1")
  foreach(piece RANGE 1 ${last})
    string(APPEND text "${ARGV${piece}}")
  endforeach()
  if(cause STREQUAL "")
    set(cause "${text}")
  endif()
  string(SHA1 cause "${cause}")
  get_property(warned GLOBAL PROPERTY _gpu_arch_warned)
  if(NOT cause IN_LIST warned)
    set_property(GLOBAL APPEND PROPERTY _gpu_arch_warned ${cause})
    message(WARNING "${text}")
  endif()
endfunction()

function(gpu_arch_detect out_var)
  # What the tool prints: quarn and a signed decimal number.
  set(name_regex "^@GPU_ARCH_NAME_PATTERN@$")
  cmake_parse_arguments(PARSE_ARGV 1 arg "REQUIRED" "TIMEOUT;FLEET" "FALLBACK;SUPPORTED")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "gpu_arch_detect: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "gpu_arch_detect: ${arg_KEYWORDS_MISSING_VALUES} without a value")
  endif()
  if(NOT DEFINED arg_TIMEOUT)
    set(arg_TIMEOUT 10)
  elseif(NOT arg_TIMEOUT MATCHES "^[0-9]*\\.?[0-9]+$" OR arg_TIMEOUT EQUAL 0)
    message(FATAL_ERROR "gpu_arch_detect: TIMEOUT takes a positive number of seconds, not '${arg_TIMEOUT}'")
  endif()
  foreach(name IN LISTS arg_FALLBACK arg_SUPPORTED)
    if(NOT name MATCHES "${name_regex}")
      message(FATAL_ERROR "gpu_arch_detect: '${name}' is no architecture name (quarn and a number)")
    endif()
  endforeach()

  # The fleet asked for, by the cache or else the project: the nodes that
  # the build runs on, instead of the GPUs of the machine that builds.
  set(fleet "${GPU_ARCH_FLEET}")
  if(fleet STREQUAL "")
    set(fleet "${arg_FLEET}")
  endif()
  set(fleet_command "")
  if(fleet MATCHES "^slurm(:(.*))?$")
    string(REPLACE "," ";" partitions "${CMAKE_MATCH_2}")
    list(REMOVE_ITEM partitions "")
    set(fleet_command slurm-fleet ${partitions})
  elseif(fleet MATCHES "^prometheus:(.+)$")
    set(fleet_command prometheus-fleet "${CMAKE_MATCH_1}")
  elseif(NOT fleet STREQUAL "" AND NOT fleet STREQUAL "local")
    message(FATAL_ERROR "gpu_arch_detect: the fleet is slurm, slurm:PARTITION[,PARTITION...], prometheus:URL or "
                        "local, not '${fleet}'")
  endif()

  # The user's override, from the cache or else the environment; then the
  # fleet or the program; then the fallback.
  set(override "${GPU_ARCH_OVERRIDE}")
  set(override_from "GPU_ARCH_OVERRIDE")
  if(override STREQUAL "")
    set(override "$ENV{GPU_ARCH_OVERRIDE}")
    set(override_from "the environment variable GPU_ARCH_OVERRIDE")
  endif()
  set(architectures "")
  if(NOT override STREQUAL "")
    set(override_text "${override}")
    string(REGEX REPLACE "[,; \t\n]+" ";" override "${override}")
    list(REMOVE_ITEM override "")
    foreach(name IN LISTS override)
      if(NOT name MATCHES "${name_regex}")
        message(FATAL_ERROR "gpu_arch_detect: ${override_from} holds '${name}', which is no architecture "
                            "name (quarn and a number, as gpu_arch prints them)")
      endif()
    endforeach()
    set(architectures "${override}")
    set(source override)
    if(NOT architectures)
      set(why "${override_from} ('${override_text}') names no architecture")
    endif()
  elseif(fleet_command)
    # gpu_arch-publish prints architecture names only, each once; its exit
    # status tells the outcomes apart (gpu_arch-publish(8)).
    get_target_property(publish gpu_arch::gpu_arch-publish LOCATION)
    execute_process(COMMAND "${publish}" ${fleet_command} TIMEOUT ${arg_TIMEOUT}
      RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    string(STRIP "${errors}" errors)
    set(source fleet)
    set(why "the fleet (${fleet}) gives none (${status})")
    if(status MATCHES "timeout")
      _gpu_arch_warn_once("" "gpu_arch_detect: the fleet (${fleet}) did not answer within ${arg_TIMEOUT} s: ${errors}")
      set(why "the fleet (${fleet}) did not answer within ${arg_TIMEOUT} s")
    elseif(status STREQUAL "2" OR status STREQUAL "3")
      # A mistyped partition: a fallback would hide it.
      message(FATAL_ERROR "gpu_arch_detect: the fleet (${fleet}) gives no architecture: ${errors}")
    elseif(NOT status STREQUAL "0")
      _gpu_arch_warn_once("" "gpu_arch_detect: the fleet (${fleet}) gives no architecture (${status}): ${errors}")
    else()
      string(REGEX MATCHALL "[^\n]+" lines "${output}")
      foreach(line IN LISTS lines)
        if(line MATCHES "${name_regex}")
          list(APPEND architectures "${line}")
        endif()
      endforeach()
    endif()
  elseif(NOT GPU_ARCH_EXECUTABLE AND NOT CMAKE_CROSSCOMPILING)
    _gpu_arch_warn_once("" "gpu_arch_detect: GPU_ARCH_EXECUTABLE is '${GPU_ARCH_EXECUTABLE}', so there is no program "
                        "to run; set it to the gpu_arch program")
    set(why "GPU_ARCH_EXECUTABLE is '${GPU_ARCH_EXECUTABLE}'")
  elseif(NOT GPU_ARCH_EXECUTABLE)
    _gpu_arch_warn_once(cross "gpu_arch_detect: cross-compiling for ${CMAKE_SYSTEM_NAME} on ${CMAKE_SYSTEM_PROCESSOR}, "
                        "and the GPUs of the build machine say nothing about the target's. Give the target's "
                        "architectures yourself (-DGPU_ARCH_OVERRIDE=quarn1000, or FALLBACK), or set "
                        "GPU_ARCH_EXECUTABLE to a program that answers for the target.")
    set(why "the build is cross-compiled, so nothing was run")
  else()
    execute_process(COMMAND "${GPU_ARCH_EXECUTABLE}" TIMEOUT ${arg_TIMEOUT}
      RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    string(STRIP "${errors}" errors)
    if(status MATCHES "timeout")
      _gpu_arch_warn_once("" "gpu_arch_detect: ${GPU_ARCH_EXECUTABLE} did not finish within ${arg_TIMEOUT} s "
                          "and was stopped: ${errors}")
      set(why "${GPU_ARCH_EXECUTABLE} timed out after ${arg_TIMEOUT} s")
    elseif(NOT status STREQUAL "0")
      _gpu_arch_warn_once("" "gpu_arch_detect: ${GPU_ARCH_EXECUTABLE} failed (${status}): ${errors}")
      set(why "${GPU_ARCH_EXECUTABLE} failed (${status})")
    else()
      if(errors)
        message(VERBOSE "gpu_arch_detect: ${errors}")
      endif()
      # Only architecture names enter the list: whatever else a wrapper or
      # launcher prints must not reach a compiler. The lines are taken one
      # by one from the text, never as a list, whose brackets, backslashes
      # and semicolons would join or split them.
      string(REPLACE "\r" "" output "${output}")
      set(dropped "")
      while(NOT output STREQUAL "")
        string(FIND "${output}" "\n" end)
        if(end EQUAL -1)
          # A last line without a newline: nothing follows it.
          set(line "${output}")
          set(output "")
        else()
          string(SUBSTRING "${output}" 0 ${end} line)
          math(EXPR end "${end} + 1")
          string(SUBSTRING "${output}" ${end} -1 output)
        endif()
        if(line MATCHES "${name_regex}")
          list(APPEND architectures "${line}")
        elseif(NOT line STREQUAL "")
          string(APPEND dropped " '${line}'")
        endif()
      endwhile()
      if(dropped)
        _gpu_arch_warn_once("" "gpu_arch_detect: ${GPU_ARCH_EXECUTABLE} printed lines that are no architecture "
                            "name, dropped:${dropped}")
      endif()
      set(why "${GPU_ARCH_EXECUTABLE} found no supported GPU")
    endif()
    set(source detected)
  endif()
  if(NOT architectures AND arg_FALLBACK)
    set(architectures "${arg_FALLBACK}")
    set(source fallback)
  endif()
  list(REMOVE_DUPLICATES architectures)

  if(DEFINED arg_SUPPORTED AND architectures)
    set(unsupported "${architectures}")
    list(REMOVE_ITEM unsupported ${arg_SUPPORTED})
    if(unsupported)
      list(REMOVE_ITEM architectures ${unsupported})
      list(JOIN unsupported ", " names)
      list(JOIN arg_SUPPORTED ", " supported)
      list(JOIN architectures ", " remaining)
      if(NOT remaining)
        set(remaining "nothing")
      endif()
      _gpu_arch_warn_once("${names} ${supported}" "gpu_arch_detect: dropped ${names} (${source}), which "
                          "SUPPORTED (${supported}) leaves out: ${out_var} keeps ${remaining}")
      set(why "every architecture (${names}, ${source}) is outside SUPPORTED ${supported}")
    endif()
  endif()

  if(NOT architectures)
    set(source none)
    if(arg_REQUIRED)
      message(FATAL_ERROR "gpu_arch_detect: ${out_var} needs at least one GPU architecture, and there is none: "
                          "${why}. Name the architectures to build for with -DGPU_ARCH_OVERRIDE=quarn1000 "
                          "(several separated by commas or semicolons) or the environment variable GPU_ARCH_OVERRIDE.")
    endif()
    message(STATUS "gpu_arch: no architecture (none)")
  else()
    message(STATUS "gpu_arch: ${architectures} (${source})")
  endif()
  set(${out_var} "${architectures}" PARENT_SCOPE)
  set(${out_var}_SOURCE ${source} PARENT_SCOPE)
endfunction()
