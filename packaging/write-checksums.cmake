# SPDX-License-Identifier: MIT
# Build phase: run by the build (target checksums) once every artefact is made.
#
#   cmake -D PACKAGES=<folder> -P write-checksums.cmake
#
# Writes PACKAGES/SHA256SUMS over every other file there, in the format of
# sha256sum.

file(GLOB artefacts RELATIVE "${PACKAGES}" "${PACKAGES}/*")
list(REMOVE_ITEM artefacts SHA256SUMS)
list(SORT artefacts)
set(sums "")
foreach(artefact IN LISTS artefacts)
  file(SHA256 "${PACKAGES}/${artefact}" sum)
  string(APPEND sums "${sum}  ${artefact}\n")
endforeach()
file(WRITE "${PACKAGES}/SHA256SUMS" "${sums}")
