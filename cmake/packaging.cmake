# Debian package: cpack -G DEB in a build folder gives gpu-arch_<version>_<arch>.deb.

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(GPU_ARCH_DEB_ARCH arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64)$")
  set(GPU_ARCH_DEB_ARCH amd64)
else()
  set(GPU_ARCH_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_PACKAGE_NAME gpu-arch)
set(CPACK_PACKAGE_VENDOR "gpu_arch developers")
set(CPACK_PACKAGE_CONTACT "gpu_arch developers <gpu-arch@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "report the architecture of each GPU from sysfs")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${GPU_ARCH_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "gpu_arch reads the topology tree that the qlvn GPU kernel driver publishes
in sysfs and prints one line per GPU architecture it finds, such as
quarn1000. Build systems and scripts use it to choose the architecture
to compile for.")
if(GPU_ARCH_STATIC)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
else()
  # Dynamic builds need the C library only; glibc 2.34 moved the start-up
  # symbol that every program built against a newer glibc references.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
endif()

# Debian ships man pages compressed; a plain cmake --install keeps them as is.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress-man-pages.cmake)

include(CPack)
