# SPDX-License-Identifier: MIT
cmake_minimum_required(VERSION 3.25)
# Build phase: run by the build (target image) when GPU_ARCH_RELEASE_IMAGE is
# on.
#
#   cmake -D BINARY_TARBALL=... -D NAME=... -D OUTPUT=....oci.tar -D IMAGE=<name:tag>
#         -D ARCH=<OCI architecture> -D SOURCE_DATE_EPOCH=... -D VERSION=...
#         -D TITLE=... -D DESCRIPTION=... -D URL=... -D LICENSE=... -P build-image.cmake
#
# An OCI image of the binary tarball NAME's two statically linked programs
# and its LICENSE, nothing else (no shell, no C library), made with umoci and
# packed as an OCI archive: one layer, the entry point the long-running mode
# that a DaemonSet runs, the labels and annotations that name the version,
# the source and the licence. Every time in it is SOURCE_DATE_EPOCH.

include("${CMAKE_CURRENT_LIST_DIR}/oci-archive.cmake")
get_filename_component(stage "${OUTPUT}.stage" ABSOLUTE)
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/tarball")
execute_process(COMMAND tar -xzf "${BINARY_TARBALL}" -C "${stage}/tarball" COMMAND_ERROR_IS_FATAL ANY)

find_program(umoci umoci)
if(NOT umoci)
  message(FATAL_ERROR "umoci is missing: apt-get install --no-install-recommends umoci")
endif()
set(ENV{SOURCE_DATE_EPOCH} "${SOURCE_DATE_EPOCH}")
string(TIMESTAMP created "%Y-%m-%dT%H:%M:%SZ" UTC)
set(labels)
foreach(label "title=${TITLE}" "description=${DESCRIPTION}" "version=${VERSION}" "created=${created}"
              "source=${URL}" "url=${URL}" "licenses=${LICENSE}")
  list(APPEND labels --config.label "org.opencontainers.image.${label}"
                     --manifest.annotation "org.opencontainers.image.${label}")
endforeach()
# Without root, umoci maps the files of the caller to root.
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
set(rootless)
if(NOT uid STREQUAL "0")
  set(rootless --rootless)
endif()
function(umoci_step)
  execute_process(COMMAND ${umoci} ${ARGN} RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE error)
  if(NOT status STREQUAL "0")
    list(GET ARGN 0 step)
    message(FATAL_ERROR "umoci ${step} failed (${status}): ${error}")
  endif()
endfunction()

# An empty image, unpacked; its root filled, at the release's time; packed
# again as the one layer.
set(layout "${stage}/layout")
set(root "${stage}/bundle/rootfs")
umoci_step(init --layout "${layout}")
umoci_step(new --image "${layout}:${IMAGE}")
umoci_step(unpack ${rootless} --image "${layout}:${IMAGE}" "${stage}/bundle")
set(from "${stage}/tarball/${NAME}")
file(MAKE_DIRECTORY "${root}/usr/bin" "${root}/usr/sbin" "${root}/usr/share/doc/gpu_arch")
file(COPY_FILE "${from}/bin/gpu_arch" "${root}/usr/bin/gpu_arch")
file(COPY_FILE "${from}/sbin/gpu_arch-publish" "${root}/usr/sbin/gpu_arch-publish")
file(COPY_FILE "${from}/LICENSE" "${root}/usr/share/doc/gpu_arch/LICENSE")
execute_process(COMMAND chmod -R u=rwX,go=rX "${root}" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND chmod 0755 "${root}/usr/bin/gpu_arch" "${root}/usr/sbin/gpu_arch-publish"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND find "${root}" -exec touch -h -d @${SOURCE_DATE_EPOCH} {} +
                COMMAND_ERROR_IS_FATAL ANY)
umoci_step(repack --image "${layout}:${IMAGE}" --history.created "${created}"
           --history.created_by "gpu_arch ${VERSION} release" "${stage}/bundle")
umoci_step(config --image "${layout}:${IMAGE}" --no-history --created "${created}" --os linux
           --architecture "${ARCH}" --config.entrypoint /usr/sbin/gpu_arch-publish --config.entrypoint every
           --config.entrypoint 60 --config.cmd nfd
           --config.cmd /etc/kubernetes/node-feature-discovery/features.d/gpu_arch ${labels})
umoci_step(gc --layout "${layout}")

pack_oci_layout("${layout}" "${OUTPUT}")
file(REMOVE_RECURSE "${stage}")
