# What makes Trovik Helper a desktop application once installed: its desktop entry and icon,
# the system files that give the desktop user keyboard access, and a Debian package of it all.

# The program knows it is installed by its desktop entry, looked for relative to its own
# folder so that a staged or moved install, or the package, still recognises itself.
file(RELATIVE_PATH _trovik_applications_from_bindir "${CMAKE_INSTALL_FULL_BINDIR}"
     "${CMAKE_INSTALL_FULL_DATADIR}/applications")
target_compile_definitions(trovik_linux PRIVATE
  TROVIK_APPLICATIONS_FROM_BINDIR="${_trovik_applications_from_bindir}")
install(CODE "set(TROVIK_DESKTOP_ENTRY \"${PROJECT_SOURCE_DIR}/packaging/trovik-helper.desktop\")
  set(TROVIK_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(TROVIK_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
  set(TROVIK_STAGING_DIR \"${CMAKE_CURRENT_BINARY_DIR}/desktop-entry\")")
install(SCRIPT cmake/InstallDesktopEntry.cmake)
install(FILES packaging/icons/trovik-helper.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The keyboard-access help that the menu's Accessibility Settings item opens. The program
# looks for it relative to its own folder; from the build tree it opens the README instead.
set(_trovik_help_dir "${CMAKE_INSTALL_DATAROOTDIR}/doc/trovik-helper")
install(FILES packaging/help/keyboard-access.html DESTINATION ${_trovik_help_dir})
cmake_path(ABSOLUTE_PATH _trovik_help_dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}")
file(RELATIVE_PATH _trovik_help_from_bindir "${CMAKE_INSTALL_FULL_BINDIR}" "${_trovik_help_dir}")
target_compile_definitions(trovik_linux PRIVATE
  TROVIK_HELP_FROM_BINDIR="${_trovik_help_from_bindir}"
  TROVIK_SOURCE_README="${CMAKE_SOURCE_DIR}/README.md")

# System files that give the desktop user keyboard access through uinput. udev and systemd
# read them only from their own folders, whatever the install prefix: the vendor folders for
# a /usr install (the package), else the administrator's /etc. The prefix is the one of the
# install itself, so that CPack's /usr install of a /usr/local build puts them in the vendor
# folders too. DESTDIR still applies. A component of their own, which an install for a test
# leaves out.
install(CODE "set(_trovik_packaging [[${CMAKE_CURRENT_SOURCE_DIR}/packaging]])" COMPONENT system)
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(_trovik_system_config_dir "/usr/lib")
  else()
    set(_trovik_system_config_dir "/etc")
  endif()
  file(INSTALL "${_trovik_packaging}/udev/70-trovik-helper-uinput.rules"
       DESTINATION "${_trovik_system_config_dir}/udev/rules.d")
  file(INSTALL "${_trovik_packaging}/modules-load.d/trovik-helper.conf"
       DESTINATION "${_trovik_system_config_dir}/modules-load.d")
  # Firewall profiles that let tablets in once the administrator enables one; ufw reads its
  # application profiles from /etc alone.
  file(INSTALL "${_trovik_packaging}/firewalld/trovik-helper.xml"
       DESTINATION "${_trovik_system_config_dir}/firewalld/services")
  file(INSTALL "${_trovik_packaging}/ufw/trovik-helper" DESTINATION "/etc/ufw/applications.d")
]] COMPONENT system)

# The Debian package: `cpack -G DEB` in the build folder (or `make package`) makes
# trovik-helper_<version>_<arch>.deb of a /usr install, whatever prefix the build has.
set(TROVIK_PACKAGE_MAINTAINER "Trovik Helper developers <packaging@trovik.invalid>"
    CACHE STRING "The Debian package's maintainer")
set(TROVIK_DEB_VERSION "${PROJECT_VERSION}-1")
set(_trovik_debian "${CMAKE_CURRENT_BINARY_DIR}/packaging/debian")
configure_file(packaging/debian/changelog.in "${_trovik_debian}/changelog" @ONLY)
execute_process(COMMAND gzip -9nc INPUT_FILE "${_trovik_debian}/changelog"
                OUTPUT_FILE "${_trovik_debian}/changelog.Debian.gz" COMMAND_ERROR_IS_FATAL ANY)
install(FILES packaging/debian/copyright "${_trovik_debian}/changelog.Debian.gz"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/trovik-helper)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trovik-helper)
set(CPACK_PACKAGE_CONTACT "${TROVIK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remote keyboard for video editors, driven from a tablet")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Trovik Helper lets a tablet on the same network act as a remote keyboard for a
video editor such as DaVinci Resolve. The tablet finds it by DNS-SD and sends
short commands over UDP; each becomes a key press in the application in front.
.
The package lets the user at the active seat write to /dev/uinput, so any
program that user runs can type as them.")
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst"
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm"
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Installed with DESTDIR into the staging folder, so that the install sees the /usr prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Debian wants manual pages compressed; a plain install keeps them as they are.
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/compress-manuals.cmake")
include(CPack)
