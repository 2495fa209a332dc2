# SPDX-License-Identifier: MIT
# Configure phase, included by CMakeLists.txt: sets up the release artefacts.
# Every artefact lands in <build>/packages, with nothing else:
# - with GPU_ARCH_RELEASE_TARBALL, gpu_arch-<version>.tar.gz (the source) and
#   gpu_arch-<version>-linux-<machine>.tar.gz (a statically linked copy),
#   through build-tarball.cmake;
# - with GPU_ARCH_RELEASE_IMAGE too, gpu_arch-<version>-linux-<machine>.oci.tar,
#   an OCI image of that copy's programs, through build-image.cmake;
# - with GPU_ARCH_RELEASE_INDEX alone, gpu_arch-<version>-linux.oci.tar, the
#   images of the folders that GPU_ARCH_RELEASE_INDEX_FROM names (other builds'
#   packages folders) under one image index, through build-index.cmake;
# - with GPU_ARCH_RELEASE_PACKAGES, the .deb (with its debug symbols) and the
#   .rpm that dpkg-buildpackage and rpmbuild make of that source tarball with
#   the recipes in debian/ and rpm/, through build-package.cmake;
# - SHA256SUMS over all of them.
# Every time stamp is SOURCE_DATE_EPOCH when set, else the release date, so
# that one source builds identical artefacts with or without git.

if(NOT GPU_ARCH_RELEASE_TARBALL AND NOT GPU_ARCH_RELEASE_PACKAGES AND NOT GPU_ARCH_RELEASE_INDEX)
  return()
endif()

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(source_date_epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND date -u -d "${GPU_ARCH_RELEASE_DATE}" +%s
    OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(deb_arch arm64)
  set(machine aarch64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64)$")
  set(deb_arch amd64)
  set(machine x86_64)
else()
  set(deb_arch ${CMAKE_SYSTEM_PROCESSOR})
  set(machine ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(packages ${PROJECT_BINARY_DIR}/packages)
set(common_args -D SOURCE_DIR=${PROJECT_SOURCE_DIR} -D BINARY_DIR=${PROJECT_BINARY_DIR}
                -D SOURCE_DATE_EPOCH=${source_date_epoch})

set(artefact_targets)
if(GPU_ARCH_RELEASE_INDEX)
  # Made anew every time from what the other builds hold now.
  add_custom_target(index ALL
    COMMAND ${CMAKE_COMMAND} -D SOURCE_DATE_EPOCH=${source_date_epoch} "-D FROM=${GPU_ARCH_RELEASE_INDEX_FROM}"
            -D PATTERN=gpu_arch-${PROJECT_VERSION}-linux-*.oci.tar
            -D OUTPUT=${packages}/gpu_arch-${PROJECT_VERSION}-linux.oci.tar
            -D IMAGE=${GPU_ARCH_IMAGE_NAME}:${PROJECT_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/build-index.cmake
    VERBATIM)
  list(APPEND artefact_targets index)
endif()

# The source: rebuilt every time, since which files it holds is only known then.
set(source_name gpu_arch-${PROJECT_VERSION})
set(source_tarball ${packages}/${source_name}.tar.gz)
set(tarball_script ${CMAKE_CURRENT_LIST_DIR}/build-tarball.cmake)
if(GPU_ARCH_RELEASE_TARBALL OR GPU_ARCH_RELEASE_PACKAGES)
  add_custom_target(source_tarball ALL
    COMMAND ${CMAKE_COMMAND} ${common_args} -D KIND=source -D NAME=${source_name} -D OUTPUT=${source_tarball}
            -P ${tarball_script}
    VERBATIM)
  list(APPEND artefact_targets source_tarball)
endif()

if(GPU_ARCH_RELEASE_TARBALL)
  gpu_arch_add_tool(gpu_arch_static "${GPU_ARCH_SYSFS_ROOT}" ON)
  set(binary_name gpu_arch-${PROJECT_VERSION}-linux-${machine})
  set(binary_tarball ${packages}/${binary_name}.tar.gz)
  # Symbols, and the sections that only record how it was built.
  set(strip_command ${CMAKE_STRIP} --strip-unneeded --remove-section=.comment --remove-section=.note)
  add_custom_command(OUTPUT ${binary_tarball}
    COMMAND ${CMAKE_COMMAND} ${common_args} -D KIND=binary -D NAME=${binary_name} -D OUTPUT=${binary_tarball}
            -D STATIC_BINARY=$<TARGET_FILE:gpu_arch_static> -D PUBLISH=${CMAKE_INSTALL_SBINDIR}/gpu_arch-publish
            "-D STRIP_COMMAND=${strip_command}" -P ${tarball_script}
    DEPENDS gpu_arch gpu_arch_static gpu_arch-publish ${PROJECT_BINARY_DIR}/gpu_arch.1 ${PROJECT_SOURCE_DIR}/LICENSE
            ${PROJECT_SOURCE_DIR}/README.md ${tarball_script}
    VERBATIM)
  add_custom_target(binary_tarball ALL DEPENDS ${binary_tarball})
  list(APPEND artefact_targets binary_tarball)

  if(GPU_ARCH_RELEASE_IMAGE)
    # OCI names the two architectures as Debian does.
    set(image ${packages}/${binary_name}.oci.tar)
    set(image_script ${CMAKE_CURRENT_LIST_DIR}/build-image.cmake)
    add_custom_command(OUTPUT ${image}
      COMMAND ${CMAKE_COMMAND} -D SOURCE_DATE_EPOCH=${source_date_epoch} -D BINARY_TARBALL=${binary_tarball}
              -D NAME=${binary_name} -D OUTPUT=${image} -D IMAGE=${GPU_ARCH_IMAGE_NAME}:${PROJECT_VERSION}
              -D ARCH=${deb_arch} -D VERSION=${PROJECT_VERSION} -D TITLE=${PROJECT_NAME}
              "-D DESCRIPTION=${PROJECT_DESCRIPTION}" -D URL=${PROJECT_HOMEPAGE_URL} -D LICENSE=${GPU_ARCH_LICENSE}
              -P ${image_script}
      DEPENDS ${binary_tarball} ${image_script}
      VERBATIM)
    add_custom_target(image ALL DEPENDS ${image})
    # After the tarball's own target, so that the two never make it at once.
    add_dependencies(image binary_tarball)
    list(APPEND artefact_targets image)
  endif()
endif()

if(GPU_ARCH_RELEASE_PACKAGES)
  # Each package is built from the source tarball alone, as a distribution
  # builds it, for the architecture this build is for.
  set(package_args -D SOURCE_TARBALL=${source_tarball} -D VERSION=${PROJECT_VERSION} -D PACKAGES=${packages}
                   -D SOURCE_DATE_EPOCH=${source_date_epoch} -D CROSS=${CMAKE_CROSSCOMPILING}
                   "-D PACKAGER=${GPU_ARCH_MAINTAINER}")
  set(package_script ${CMAKE_CURRENT_LIST_DIR}/build-package.cmake)
  add_custom_target(deb ALL
    COMMAND ${CMAKE_COMMAND} ${package_args} -D KIND=deb -D ARCH=${deb_arch} -D WORK=${PROJECT_BINARY_DIR}/deb
            -P ${package_script}
    VERBATIM)
  add_custom_target(rpm ALL
    COMMAND ${CMAKE_COMMAND} ${package_args} -D KIND=rpm -D ARCH=${machine} -D WORK=${PROJECT_BINARY_DIR}/rpm
            -P ${package_script}
    VERBATIM)
  # One package build at a time: each runs a whole build of its own.
  add_dependencies(deb source_tarball)
  add_dependencies(rpm deb)
  list(APPEND artefact_targets deb rpm)
endif()

add_custom_target(checksums ALL
  COMMAND ${CMAKE_COMMAND} -D PACKAGES=${packages} -P ${CMAKE_CURRENT_LIST_DIR}/write-checksums.cmake VERBATIM)
add_dependencies(checksums ${artefact_targets})
