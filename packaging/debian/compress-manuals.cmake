# Run by CPack between the install into its staging folder and the package: compresses the
# manual pages there with gzip -9n (no name, no time stamp), as Debian requires.
file(GLOB_RECURSE _pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share/man/*.[1-9]")
foreach(_page IN LISTS _pages)
  execute_process(COMMAND gzip -9nf "${_page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
