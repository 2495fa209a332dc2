# SPDX-License-Identifier: MIT
# cpack phase: read by cpack before each generator (DEB, RPM) runs. Reads the
# CPACK_GPU_ARCH_* settings of configure.cmake and the built binary.

if(CPACK_GENERATOR MATCHES "^(DEB|RPM)$" AND CPACK_GPU_ARCH_STATIC)
  message(FATAL_ERROR "Distribution packages come from the dynamically linked build: "
                      "cmake --workflow --preset package")
endif()

# Every time stamp in the packages, and rpmbuild's, is the release's.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_GPU_ARCH_SOURCE_DATE_EPOCH}")

# Depends: the C library at the highest symbol version the binary needs.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(binary "${CPACK_GPU_ARCH_BINARY_DIR}/gpu_arch")
  execute_process(COMMAND "${CPACK_GPU_ARCH_READELF}" -W -V "${binary}"
    OUTPUT_VARIABLE version_info COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)+" glibc_versions "${version_info}")
  set(glibc_needed "")
  foreach(version IN LISTS glibc_versions)
    string(REPLACE "GLIBC_" "" version "${version}")
    if(version VERSION_GREATER glibc_needed)
      set(glibc_needed "${version}")
    endif()
  endforeach()
  if(glibc_needed STREQUAL "")
    message(FATAL_ERROR "${binary} needs no versioned C library symbol")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${glibc_needed})")
endif()
