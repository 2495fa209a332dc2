# SPDX-License-Identifier: MIT
cmake_minimum_required(VERSION 3.25)
# Build phase: run by the build (targets deb and rpm) when
# GPU_ARCH_RELEASE_PACKAGES is on.
#
#   cmake -D KIND=deb|rpm -D ARCH=<deb architecture or rpm machine> -D CROSS=<bool>
#         -D SOURCE_TARBALL=... -D VERSION=... -D WORK=... -D PACKAGES=...
#         -D SOURCE_DATE_EPOCH=... -D PACKAGER=... -P build-package.cmake
#
# Builds the source tarball with the distribution's own tool and the recipe
# that the tarball carries: dpkg-buildpackage with debian/ in WORK, rpmbuild
# with rpm/gpu-arch.spec in a fixed folder (see below). A cross
# build (CROSS) uses the tools' own cross support and leaves the suite out,
# since it cannot run on this machine, and so does a build with
# GPU_ARCH_PACKAGE_NOCHECK in the environment (a rebuild that only compares
# what it makes). The binary packages go to PACKAGES; the
# whole log is WORK/build.log, and WORK keeps what the tool made.

if(DEFINED ENV{GPU_ARCH_PACKAGE_NOCHECK})
  set(NOCHECK ON)
endif()
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(log "${WORK}/build.log")

if(KIND STREQUAL "deb")
  set(tool dpkg-buildpackage)
  file(COPY_FILE "${SOURCE_TARBALL}" "${WORK}/gpu-arch_${VERSION}.orig.tar.gz")
  execute_process(COMMAND tar -xzf "${SOURCE_TARBALL}" -C "${WORK}" COMMAND_ERROR_IS_FATAL ANY)
  set(source "${WORK}/gpu_arch-${VERSION}")
  file(COPY "${source}/packaging/debian" DESTINATION "${source}")
  set(command dpkg-buildpackage -us -uc)
  if(CROSS)
    list(APPEND command -a ${ARCH} -Pcross,nocheck)
  elseif(NOCHECK)
    set(ENV{DEB_BUILD_OPTIONS} "nocheck $ENV{DEB_BUILD_OPTIONS}")
  endif()
  set(built "${WORK}/*.deb")
else()
  set(tool rpmbuild)
  file(COPY "${SOURCE_TARBALL}" DESTINATION "${WORK}/SOURCES")
  execute_process(COMMAND tar -xzOf "${SOURCE_TARBALL}" gpu_arch-${VERSION}/packaging/rpm/gpu-arch.spec
    OUTPUT_FILE "${WORK}/gpu-arch.spec" COMMAND_ERROR_IS_FATAL ANY)
  # The source package holds the times of these two files.
  execute_process(COMMAND touch -d @${SOURCE_DATE_EPOCH} "${WORK}/gpu-arch.spec" "${WORK}/SOURCES"
                          "${WORK}/SOURCES/gpu_arch-${VERSION}.tar.gz" COMMAND_ERROR_IS_FATAL ANY)
  # rpmbuild records its folders in the source package, whose digest the
  # binary package carries, and the compiler the folder it builds in: it
  # builds in a fixed folder, one build at a time, and WORK keeps what it
  # made. The times and the build host in the package are the release's, as
  # in distributions that build reproducibly; the packager is named as a
  # build system names it.
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(topdir /tmp/gpu-arch-rpmbuild-${uid})
  file(LOCK ${topdir}.lock GUARD PROCESS TIMEOUT 1800)
  file(REMOVE_RECURSE ${topdir})
  file(COPY "${WORK}/SOURCES" "${WORK}/gpu-arch.spec" DESTINATION ${topdir})
  set(source ${topdir})
  set(command rpmbuild -ba --define "_topdir ${topdir}" --define "packager ${PACKAGER}"
              --define "_buildhost reproducible" --define "use_source_date_epoch_as_buildtime 1"
              --define "clamp_mtime_to_source_date_epoch 1")
  # Where rpm's database knows no package at all (rpm on Debian), it cannot
  # check build requirements.
  execute_process(COMMAND rpm -q --whatprovides rpm-build RESULT_VARIABLE unknown OUTPUT_QUIET ERROR_QUIET)
  if(unknown)
    list(APPEND command --nodeps)
  endif()
  # A cross build leaves the suite out, unbuilt. A rebuild that only
  # compares does not run it; it still builds it, since the source package
  # records the expanded build script.
  if(CROSS)
    list(APPEND command --target ${ARCH}-linux --nocheck --define "gpu_arch_nocheck 1")
  elseif(NOCHECK)
    list(APPEND command --nocheck)
  endif()
  list(APPEND command ${topdir}/gpu-arch.spec)
  set(built "${topdir}/RPMS/*/*.rpm")
endif()

find_program(tool_path ${tool})
if(NOT tool_path)
  message(FATAL_ERROR "${tool} is missing: apt-get install --no-install-recommends "
                      "debhelper dpkg-dev rpm (and for AArch64 crossbuild-essential-arm64 and libc6:arm64, "
                      "after dpkg --add-architecture arm64)")
endif()
list(JOIN command " " shown)
message(STATUS "${KIND}: ${shown} (log: ${log})")
set(ENV{SOURCE_DATE_EPOCH} "${SOURCE_DATE_EPOCH}")
execute_process(COMMAND ${command} WORKING_DIRECTORY "${source}" RESULT_VARIABLE status
                OUTPUT_FILE "${log}" ERROR_FILE "${log}")
if(NOT status STREQUAL "0")
  file(STRINGS "${log}" lines)
  list(LENGTH lines count)
  set(first 0)
  if(count GREATER 60)
    math(EXPR first "${count} - 60")
  endif()
  list(SUBLIST lines ${first} -1 tail)
  list(JOIN tail "\n" tail)
  message(FATAL_ERROR "${tool} failed (${status}); the end of ${log}:\n${tail}")
endif()

file(GLOB packages "${built}")
file(COPY ${packages} DESTINATION "${PACKAGES}")
if(topdir)
  file(COPY ${topdir}/RPMS ${topdir}/SRPMS DESTINATION "${WORK}")
  file(REMOVE_RECURSE ${topdir})
endif()
