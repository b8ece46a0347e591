# Run at install time: installs the desktop entry with Exec naming the installed program by
# its full path, the prefix chosen then included. KWin lends its window list and fake input
# only to the program whose entry's Exec is exactly the path it runs from.
# In: TROVIK_DESKTOP_ENTRY (the source entry), TROVIK_BINDIR, TROVIK_DATADIR (may be relative),
# TROVIK_STAGING_DIR (in the build tree).
foreach(_dir BINDIR DATADIR)
  set(_path "${TROVIK_${_dir}}")
  if(NOT IS_ABSOLUTE "${_path}")
    set(_path "${CMAKE_INSTALL_PREFIX}/${_path}")
  endif()
  set(_${_dir} "${_path}")
endforeach()
file(READ "${TROVIK_DESKTOP_ENTRY}" _entry)
string(REPLACE "\nExec=trovik-helper\n" "\nExec=${_BINDIR}/trovik-helper\n" _entry "${_entry}")
get_filename_component(_name "${TROVIK_DESKTOP_ENTRY}" NAME)
# One staging folder per destination: installs may run side by side.
string(MD5 _destination "$ENV{DESTDIR}${_DATADIR}")
set(_staged "${TROVIK_STAGING_DIR}/${_destination}/${_name}")
file(WRITE "${_staged}" "${_entry}")
file(INSTALL "${_staged}" DESTINATION "${_DATADIR}/applications")
file(REMOVE_RECURSE "${TROVIK_STAGING_DIR}/${_destination}")
