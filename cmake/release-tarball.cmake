# SPDX-License-Identifier: MIT
# cmake -D BINARY_DIR=... -D SOURCE_DIR=... -D STATIC_BINARY=... -D STRIP_COMMAND=...
#       -D NAME=... -D OUTPUT=....tar.gz -D SOURCE_DATE_EPOCH=... -P release-tarball.cmake
# Installs the build into a folder NAME, puts the statically linked binary in
# place of the installed one, adds the licence and README, and packs it with
# fixed order, owners, modes and times.

get_filename_component(stage "${OUTPUT}.stage" ABSOLUTE)
file(REMOVE_RECURSE "${stage}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BINARY_DIR}" --prefix "${stage}/${NAME}"
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(COPY_FILE "${STATIC_BINARY}" "${stage}/${NAME}/bin/gpu_arch")
execute_process(COMMAND ${STRIP_COMMAND} "${stage}/${NAME}/bin/gpu_arch" COMMAND_ERROR_IS_FATAL ANY)
file(COPY "${SOURCE_DIR}/LICENSE" "${SOURCE_DIR}/README.md" DESTINATION "${stage}/${NAME}")
execute_process(
  COMMAND tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mtime=@${SOURCE_DATE_EPOCH}
              --mode=u+rwX,go+rX,go-w -C "${stage}" -cf - "${NAME}"
  COMMAND gzip -9n
  OUTPUT_FILE "${OUTPUT}" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE "${stage}")
