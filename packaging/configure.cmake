# SPDX-License-Identifier: MIT
# Configure phase, included by CMakeLists.txt: sets up the release artefacts.
# Reads the project's version and release date; writes the changelogs into
# <build>/packaging and the CPack configuration. Every artefact lands in
# <build>/packages, with nothing else:
# - with GPU_ARCH_RELEASE_TARBALL, the build makes gpu_arch-<version>.tar.gz
#   (the source) and gpu_arch-<version>-linux-<arch>.tar.gz (a statically
#   linked copy), through build-tarball.cmake;
# - cpack in a dynamically linked build makes gpu-arch_<version>_<arch>.deb
#   and gpu-arch-<version>-1.<arch>.rpm, through the cpack-*.cmake scripts,
#   and SHA256SUMS over every artefact.
# Every time stamp is SOURCE_DATE_EPOCH when set, else the release date, so
# that one source builds identical artefacts with or without git.

# Dates of the release: seconds since the epoch, and as each changelog writes them.
function(release_date out_var format)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -u -d "${GPU_ARCH_RELEASE_DATE}" "+${format}"
    OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(${out_var} "${date}" PARENT_SCOPE)
endfunction()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(GPU_ARCH_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  release_date(GPU_ARCH_SOURCE_DATE_EPOCH "%s")
endif()
release_date(GPU_ARCH_RELEASE_DATE_RFC2822 "%a, %d %b %Y %H:%M:%S +0000")
release_date(GPU_ARCH_RELEASE_DATE_RPM "%a %b %d %Y")

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

# One changelog text for both packages: Debian's from the template, the RPM's
# from Debian's, with the same version, date and entries.
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in packaging/changelog @ONLY)
file(STRINGS ${PROJECT_BINARY_DIR}/packaging/changelog debian_changelog)
set(rpm_changelog "* ${GPU_ARCH_RELEASE_DATE_RPM} ${GPU_ARCH_MAINTAINER} - ${PROJECT_VERSION}-1\n")
foreach(line IN LISTS debian_changelog)
  if(line MATCHES "^  \\* (.*)")
    string(APPEND rpm_changelog "- ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^    (.*)")
    string(APPEND rpm_changelog "  ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/packaging/rpm-changelog "${rpm_changelog}")

# How every shipped binary is stripped: symbols, and the sections that only
# record how it was built.
set(GPU_ARCH_STRIP_COMMAND ${CMAKE_STRIP} --strip-unneeded --remove-section=.comment --remove-section=.note)

if(GPU_ARCH_RELEASE_TARBALL)
  set(script ${CMAKE_CURRENT_LIST_DIR}/build-tarball.cmake)
  set(common_args -D SOURCE_DIR=${PROJECT_SOURCE_DIR} -D BINARY_DIR=${PROJECT_BINARY_DIR}
                  -D SOURCE_DATE_EPOCH=${GPU_ARCH_SOURCE_DATE_EPOCH})
  # The source: rebuilt every time, since which files it holds is only known then.
  set(source_name gpu_arch-${PROJECT_VERSION})
  add_custom_target(source_tarball ALL
    COMMAND ${CMAKE_COMMAND} ${common_args} -D KIND=source -D NAME=${source_name}
            -D OUTPUT=${PROJECT_BINARY_DIR}/packages/${source_name}.tar.gz -P ${script}
    VERBATIM)

  gpu_arch_add_tool(gpu_arch_static "${GPU_ARCH_SYSFS_ROOT}" ON)
  set(binary_name gpu_arch-${PROJECT_VERSION}-linux-${GPU_ARCH_MACHINE})
  set(binary_tarball ${PROJECT_BINARY_DIR}/packages/${binary_name}.tar.gz)
  add_custom_command(OUTPUT ${binary_tarball}
    COMMAND ${CMAKE_COMMAND} ${common_args} -D KIND=binary -D NAME=${binary_name} -D OUTPUT=${binary_tarball}
            -D STATIC_BINARY=$<TARGET_FILE:gpu_arch_static> "-D STRIP_COMMAND=${GPU_ARCH_STRIP_COMMAND}"
            -P ${script}
    DEPENDS gpu_arch gpu_arch_static ${PROJECT_BINARY_DIR}/gpu_arch.1 ${PROJECT_SOURCE_DIR}/LICENSE
            ${PROJECT_SOURCE_DIR}/README.md ${script}
    VERBATIM)
  add_custom_target(binary_tarball ALL DEPENDS ${binary_tarball})
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
# cpack works in a folder of its own; the post-build script copies the
# packages to <build>/packages.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/cpack)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB RPM)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${GPU_ARCH_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The tool answers for the machine it runs on, whatever the architecture of
# the package that asks. CPack has no setting for the field: it rides on the
# line before it.
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional\nMulti-Arch: foreign")
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
set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/packaging/rpm-changelog)
# The file system package owns these; a package must not.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/share/cmake /usr/share/doc /usr/share/licenses /usr/share/man /usr/share/man/man1)
set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/gpu-arch/LICENSE")
# Stripping and compressing happen in the pre-build script, for every
# architecture; rpmbuild only takes its times from SOURCE_DATE_EPOCH.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${GPU_ARCH_MAINTAINER}
%define __os_install_post %{nil}
%define debug_package %{nil}
%define _build_id_links none
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1")

# Read by the cpack-*.cmake scripts, beside which the source lies.
set(CPACK_GPU_ARCH_STATIC ${GPU_ARCH_STATIC})
set(CPACK_GPU_ARCH_BINARY_DIR ${PROJECT_BINARY_DIR})
set(CPACK_GPU_ARCH_READELF ${CMAKE_READELF})
set(CPACK_GPU_ARCH_STRIP_COMMAND ${GPU_ARCH_STRIP_COMMAND})
set(CPACK_GPU_ARCH_SOURCE_DATE_EPOCH ${GPU_ARCH_SOURCE_DATE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-project-config.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-pre-build.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-post-build.cmake)

include(CPack)
