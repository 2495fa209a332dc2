# SPDX-License-Identifier: MIT
# Release artefacts, all named after the project's version and timestamped with
# the last commit, so that building one commit twice gives identical files:
# - cpack in a dynamically linked build: gpu-arch_<version>_<arch>.deb and
#   gpu-arch-<version>-<release>.<arch>.rpm;
# - with GPU_ARCH_RELEASE_TARBALL, the build itself makes
#   gpu_arch-<version>-linux-<arch>.tar.gz around a statically linked copy.
# All of them land in <build>/packages.

set(GPU_ARCH_MAINTAINER "The gpu_arch developers <gpu-arch@example.org>" CACHE STRING
  "Maintainer named in the packages: set it to the publisher's address")
set(GPU_ARCH_HOMEPAGE "https://gpu-arch.example.org/" CACHE STRING
  "Home page named in the RPM: set it to the publisher's")

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(GPU_ARCH_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE GPU_ARCH_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT GPU_ARCH_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    # Not a git checkout: the release date stands in for the last commit.
    execute_process(COMMAND date -u -d "${GPU_ARCH_RELEASE_DATE}" +%s
      OUTPUT_VARIABLE GPU_ARCH_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  endif()
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(GPU_ARCH_DEB_ARCH arm64)
  set(GPU_ARCH_MACHINE aarch64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64)$")
  set(GPU_ARCH_DEB_ARCH amd64)
  set(GPU_ARCH_MACHINE x86_64)
else()
  set(GPU_ARCH_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
  set(GPU_ARCH_MACHINE ${CMAKE_SYSTEM_PROCESSOR})
endif()

# The Debian copyright file and changelog, and the licence for the RPM.
execute_process(COMMAND date -u -R -d "${GPU_ARCH_RELEASE_DATE}"
  OUTPUT_VARIABLE GPU_ARCH_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
configure_file(packaging/copyright packaging/copyright @ONLY)
configure_file(packaging/changelog.in packaging/changelog @ONLY)

set(GPU_ARCH_PACKAGE_DIR ${PROJECT_BINARY_DIR}/packages)
# How every shipped binary is stripped: symbols, and the sections that only
# record how it was built.
set(GPU_ARCH_STRIP_COMMAND ${CMAKE_STRIP} --strip-unneeded --remove-section=.comment --remove-section=.note)

if(GPU_ARCH_RELEASE_TARBALL)
  gpu_arch_add_tool(gpu_arch_static "${GPU_ARCH_SYSFS_ROOT}" ON)
  set(tarball_name gpu_arch-${PROJECT_VERSION}-linux-${GPU_ARCH_MACHINE})
  set(tarball ${GPU_ARCH_PACKAGE_DIR}/${tarball_name}.tar.gz)
  add_custom_command(OUTPUT ${tarball}
    COMMAND ${CMAKE_COMMAND} -D BINARY_DIR=${PROJECT_BINARY_DIR} -D SOURCE_DIR=${PROJECT_SOURCE_DIR}
            -D STATIC_BINARY=$<TARGET_FILE:gpu_arch_static> "-D STRIP_COMMAND=${GPU_ARCH_STRIP_COMMAND}" -D NAME=${tarball_name}
            -D OUTPUT=${tarball} -D SOURCE_DATE_EPOCH=${GPU_ARCH_SOURCE_DATE_EPOCH}
            -P ${PROJECT_SOURCE_DIR}/cmake/release-tarball.cmake
    DEPENDS gpu_arch gpu_arch_static ${PROJECT_BINARY_DIR}/gpu_arch.1 ${PROJECT_SOURCE_DIR}/LICENSE
            ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/cmake/release-tarball.cmake
    VERBATIM)
  add_custom_target(release_tarball ALL DEPENDS ${tarball})
endif()

set(CPACK_PACKAGE_NAME gpu-arch)
set(CPACK_PACKAGE_VENDOR "The gpu_arch developers")
set(CPACK_PACKAGE_CONTACT "${GPU_ARCH_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "report the architecture of each GPU from sysfs")
set(CPACK_PACKAGE_DESCRIPTION
  "gpu_arch reads the topology tree that the qlvn GPU kernel driver publishes
in sysfs and prints one line per GPU architecture it finds, such as
quarn1000. Build systems and scripts use it to choose the architecture
to compile for. A CMake package, gpu_arch, finds the tool and runs it
at configure time.")
set(CPACK_PACKAGE_DIRECTORY ${GPU_ARCH_PACKAGE_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB RPM)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${GPU_ARCH_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_ARCHITECTURE ${GPU_ARCH_MACHINE})
set(CPACK_RPM_PACKAGE_SUMMARY "Report the architecture of each GPU from sysfs")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Development/Tools")
set(CPACK_RPM_PACKAGE_URL "${GPU_ARCH_HOMEPAGE}")
set(CPACK_RPM_PACKAGE_AUTOREQPROV ON)
# The file system package owns these; a package must not.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/lib/cmake /usr/share/doc /usr/share/licenses /usr/share/man /usr/share/man/man1)
set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/gpu-arch/LICENSE")
# Stripping and compressing happen in the staging script, for every
# architecture; rpmbuild only takes its times from SOURCE_DATE_EPOCH.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${GPU_ARCH_MAINTAINER}
%define __os_install_post %{nil}
%define debug_package %{nil}
%define _build_id_links none
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1")

# Read by cpack and its staging script.
set(CPACK_GPU_ARCH_STATIC ${GPU_ARCH_STATIC})
set(CPACK_GPU_ARCH_BINARY ${PROJECT_BINARY_DIR}/gpu_arch)
set(CPACK_GPU_ARCH_READELF ${CMAKE_READELF})
set(CPACK_GPU_ARCH_STRIP_COMMAND ${GPU_ARCH_STRIP_COMMAND})
set(CPACK_GPU_ARCH_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_GPU_ARCH_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)
set(CPACK_GPU_ARCH_SOURCE_DATE_EPOCH ${GPU_ARCH_SOURCE_DATE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-project-config.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/stage-package.cmake)

include(CPack)
