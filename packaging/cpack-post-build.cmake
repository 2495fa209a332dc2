# SPDX-License-Identifier: MIT
# cpack phase: run by cpack for each generator once its package is made.
# Copies the package (CPACK_PACKAGE_FILES) to the artefact folder and writes
# SHA256SUMS there over every artefact, in the format of sha256sum.

file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${CPACK_GPU_ARCH_PACKAGE_DIR}")
file(GLOB artefacts RELATIVE "${CPACK_GPU_ARCH_PACKAGE_DIR}" "${CPACK_GPU_ARCH_PACKAGE_DIR}/*")
list(REMOVE_ITEM artefacts SHA256SUMS)
list(SORT artefacts)
set(sums "")
foreach(artefact IN LISTS artefacts)
  file(SHA256 "${CPACK_GPU_ARCH_PACKAGE_DIR}/${artefact}" sum)
  string(APPEND sums "${sum}  ${artefact}\n")
endforeach()
file(WRITE "${CPACK_GPU_ARCH_PACKAGE_DIR}/SHA256SUMS" "${sums}")
