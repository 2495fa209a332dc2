# Run by CPack after installing into its staging folder: compresses the man
# pages there with gzip -9n, as Debian packages carry them.
file(GLOB_RECURSE man_pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/man/man*/*.[1-9]")
foreach(page IN LISTS man_pages)
  execute_process(COMMAND gzip -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
