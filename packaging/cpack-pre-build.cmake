# SPDX-License-Identifier: MIT
# cpack phase: run by cpack for each generator after installing into its
# staging folder. Reads that folder and the CPACK_GPU_ARCH_* settings; strips
# the binary and compresses the man pages as distributions ship them, and adds
# the licence and changelog files each package format expects.

set(usr "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")

execute_process(COMMAND ${CPACK_GPU_ARCH_STRIP_COMMAND} "${usr}/bin/gpu_arch" COMMAND_ERROR_IS_FATAL ANY)

file(GLOB pages "${usr}/share/man/man[1-9]/*.[1-9]")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

if(CPACK_GENERATOR STREQUAL "DEB")
  set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")
  file(COPY "${CMAKE_CURRENT_LIST_DIR}/debian/copyright" "${CPACK_GPU_ARCH_BINARY_DIR}/packaging/changelog"
       DESTINATION "${doc}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  execute_process(COMMAND gzip -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)
elseif(CPACK_GENERATOR STREQUAL "RPM")
  file(COPY "${CMAKE_CURRENT_LIST_DIR}/../LICENSE" DESTINATION "${usr}/share/licenses/${CPACK_PACKAGE_NAME}"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
