# SPDX-License-Identifier: MIT
# cpack phase: run by cpack for each generator once its package is made.
# Copies the package (CPACK_PACKAGE_FILES) to the artefact folder and writes
# SHA256SUMS there over every artefact, in the format of sha256sum.

set(packages "${CPACK_GPU_ARCH_BINARY_DIR}/packages")
file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${packages}")
file(GLOB artefacts RELATIVE "${packages}" "${packages}/*")
list(REMOVE_ITEM artefacts SHA256SUMS)
list(SORT artefacts)
set(sums "")
foreach(artefact IN LISTS artefacts)
  file(SHA256 "${packages}/${artefact}" sum)
  string(APPEND sums "${sum}  ${artefact}\n")
endforeach()
file(WRITE "${packages}/SHA256SUMS" "${sums}")
