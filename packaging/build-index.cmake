# SPDX-License-Identifier: MIT
cmake_minimum_required(VERSION 3.25)
# Build phase: run by the build (target index) when GPU_ARCH_RELEASE_INDEX is
# on.
#
#   cmake -D FROM=<folder;folder...> -D PATTERN=<image archive, a glob> -D OUTPUT=....oci.tar
#         -D IMAGE=<name:tag> -D SOURCE_DATE_EPOCH=... -P build-index.cmake
#
# One OCI archive that holds the image archive (PATTERN) of each folder of FROM
# (the release artefacts of one platform each) under one image index, so that
# one reference serves every node: its index.json names IMAGE once, for an
# index whose manifests are the images' own, each with the platform that its
# configuration states. The blobs are the images' own, byte for byte.

include("${CMAKE_CURRENT_LIST_DIR}/oci-archive.cmake")
get_filename_component(stage "${OUTPUT}.stage" ABSOLUTE)
file(REMOVE_RECURSE "${stage}")
set(layout "${stage}/layout")
get_filename_component(packages "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${layout}/blobs/sha256" "${packages}")
set(manifests "")
set(platforms "")
foreach(folder IN LISTS FROM)
  file(GLOB archive "${folder}/${PATTERN}")
  list(LENGTH archive found)
  if(NOT found EQUAL 1)
    message(FATAL_ERROR "${folder} holds ${found} images ${PATTERN}, not one: build that platform's release artefacts")
  endif()
  list(LENGTH platforms image)
  set(image "${stage}/image${image}")
  file(MAKE_DIRECTORY "${image}")
  execute_process(COMMAND tar -xf "${archive}" -C "${image}" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${image}/index.json" index)
  string(JSON count LENGTH "${index}" manifests)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "${archive} holds ${count} images, not one")
  endif()
  string(JSON media_type GET "${index}" manifests 0 mediaType)
  string(JSON size GET "${index}" manifests 0 size)
  string(JSON digest GET "${index}" manifests 0 digest)
  string(REPLACE "sha256:" "" digest "${digest}")
  file(READ "${image}/blobs/sha256/${digest}" manifest)
  string(JSON config_digest GET "${manifest}" config digest)
  string(REPLACE "sha256:" "" config_digest "${config_digest}")
  file(READ "${image}/blobs/sha256/${config_digest}" config)
  string(JSON os GET "${config}" os)
  string(JSON architecture GET "${config}" architecture)
  if("${os}/${architecture}" IN_LIST platforms)
    message(FATAL_ERROR "${archive} is a second image for ${os}/${architecture}")
  endif()
  list(APPEND platforms "${os}/${architecture}")
  # The image's descriptor, without its reference, with its platform.
  string(APPEND manifests ",{\"mediaType\":\"${media_type}\",\"digest\":\"sha256:${digest}\",\"size\":${size},"
         "\"platform\":{\"architecture\":\"${architecture}\",\"os\":\"${os}\"}}")
  file(GLOB blobs "${image}/blobs/sha256/*")
  file(COPY ${blobs} DESTINATION "${layout}/blobs/sha256")
endforeach()

# Written compact, as umoci writes the images' own.
string(SUBSTRING "${manifests}" 1 -1 manifests)
set(index "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[${manifests}]}")
string(SHA256 digest "${index}")
string(LENGTH "${index}" size)
file(WRITE "${layout}/blobs/sha256/${digest}" "${index}")
file(WRITE "${layout}/index.json"
     "{\"schemaVersion\":2,\"manifests\":[{\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
     "\"digest\":\"sha256:${digest}\",\"size\":${size},"
     "\"annotations\":{\"org.opencontainers.image.ref.name\":\"${IMAGE}\"}}]}")
file(WRITE "${layout}/oci-layout" "{\"imageLayoutVersion\":\"1.0.0\"}")
pack_oci_layout("${layout}" "${OUTPUT}")
file(REMOVE_RECURSE "${stage}")
