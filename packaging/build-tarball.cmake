# SPDX-License-Identifier: MIT
cmake_minimum_required(VERSION 3.25)
# Build phase: run by the build (targets source_tarball and binary_tarball)
# when GPU_ARCH_RELEASE_TARBALL is on.
#
#   cmake -D KIND=source|binary -D SOURCE_DIR=... -D BINARY_DIR=... -D NAME=...
#         -D OUTPUT=....tar.gz -D SOURCE_DATE_EPOCH=...
#         [-D STATIC_BINARY=... -D PUBLISH=... -D STRIP_COMMAND=...] -P build-tarball.cmake
#
# source: the tracked files of SOURCE_DIR (git ls-files; where git or its
# metadata is missing, every file but .git, the paths .gitignore names and
# the build folder), below one folder NAME.
# binary: the install of BINARY_DIR with the statically linked STATIC_BINARY
# in place of the tool, both programs (PUBLISH is the companion's path below
# the prefix) stripped, plus LICENSE and README.md, below one folder NAME.
# Both are packed in a fixed order with fixed owners, modes and times.

get_filename_component(stage "${OUTPUT}.stage" ABSOLUTE)
file(REMOVE_RECURSE "${stage}")

if(KIND STREQUAL "source")
  # Without its own .git, git would list an enclosing checkout's files.
  set(status "no checkout")
  if(EXISTS "${SOURCE_DIR}/.git")
    execute_process(COMMAND git -C "${SOURCE_DIR}" -c core.quotePath=false ls-files
      RESULT_VARIABLE status OUTPUT_VARIABLE files ERROR_QUIET)
  endif()
  if(status STREQUAL "0")
    string(REPLACE "\n" ";" files "${files}")
  else()
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*")
    set(ignored "^\\.git/")
    file(RELATIVE_PATH build_folder "${SOURCE_DIR}" "${BINARY_DIR}")
    if(NOT build_folder MATCHES "^\\.\\.")
      string(APPEND ignored "|^${build_folder}/")
    endif()
    # .gitignore names folders anchored at the top, such as /build-*/.
    file(STRINGS "${SOURCE_DIR}/.gitignore" patterns REGEX "^/")
    foreach(pattern IN LISTS patterns)
      string(REGEX REPLACE "^/|/$" "" pattern "${pattern}")
      string(REPLACE "." "\\." pattern "${pattern}")
      string(REPLACE "*" "[^/]*" pattern "${pattern}")
      string(APPEND ignored "|^${pattern}(/|$)")
    endforeach()
    list(FILTER files EXCLUDE REGEX "${ignored}")
  endif()
  list(FILTER files EXCLUDE REGEX "^$")
  list(SORT files)
  foreach(file IN LISTS files)
    get_filename_component(folder "${stage}/${NAME}/${file}" DIRECTORY)
    file(COPY "${SOURCE_DIR}/${file}" DESTINATION "${folder}")
  endforeach()
else()
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BINARY_DIR}" --prefix "${stage}/${NAME}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(COPY_FILE "${STATIC_BINARY}" "${stage}/${NAME}/bin/gpu_arch")
  execute_process(COMMAND ${STRIP_COMMAND} "${stage}/${NAME}/bin/gpu_arch" "${stage}/${NAME}/${PUBLISH}"
    COMMAND_ERROR_IS_FATAL ANY)
  file(COPY "${SOURCE_DIR}/LICENSE" "${SOURCE_DIR}/README.md" DESTINATION "${stage}/${NAME}")
endif()

execute_process(
  COMMAND tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mtime=@${SOURCE_DATE_EPOCH}
              --mode=u+rwX,go+rX,go-w -C "${stage}" -cf - "${NAME}"
  COMMAND gzip -9n
  OUTPUT_FILE "${OUTPUT}" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE "${stage}")
