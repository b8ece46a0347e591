# What makes Trovik Helper a desktop application once installed: its desktop entry and icon,
# the system files that give the desktop user keyboard access, and a Debian package of it all.

# The program knows it is installed by its desktop entry, looked for relative to its own
# folder so that a staged or moved install, or the package, still recognises itself.
file(RELATIVE_PATH _trovik_applications_from_bindir "${CMAKE_INSTALL_FULL_BINDIR}"
     "${CMAKE_INSTALL_FULL_DATADIR}/applications")
target_compile_definitions(trovik_linux PRIVATE
  TROVIK_APPLICATIONS_FROM_BINDIR="${_trovik_applications_from_bindir}")
install(FILES packaging/trovik-helper.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/icons/trovik-helper.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# System files that give the desktop user keyboard access through uinput. udev and
# systemd read them only from their own directories, whatever the install prefix, so the
# defaults are absolute: the vendor directories for a /usr install (a distribution package),
# else the administrator's /etc. DESTDIR still applies for staged installs.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_trovik_system_config_dir "/usr/lib")
else()
  set(_trovik_system_config_dir "/etc")
endif()
set(TROVIK_UDEV_RULES_DIR "${_trovik_system_config_dir}/udev/rules.d"
    CACHE PATH "Where the uinput access rule is installed")
set(TROVIK_MODULES_LOAD_DIR "${_trovik_system_config_dir}/modules-load.d"
    CACHE PATH "Where the uinput module-load entry is installed")

install(FILES packaging/udev/70-trovik-helper-uinput.rules
        DESTINATION ${TROVIK_UDEV_RULES_DIR})
install(FILES packaging/modules-load.d/trovik-helper.conf
        DESTINATION ${TROVIK_MODULES_LOAD_DIR})
