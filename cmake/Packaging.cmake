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

# The keyboard-access help that the menu's Accessibility Settings item opens. The program
# looks for it relative to its own folder; from the build tree it opens the README instead.
set(_trovik_help_dir "${CMAKE_INSTALL_DATAROOTDIR}/doc/trovik-helper")
install(FILES packaging/help/keyboard-access.html DESTINATION ${_trovik_help_dir})
cmake_path(ABSOLUTE_PATH _trovik_help_dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}")
file(RELATIVE_PATH _trovik_help_from_bindir "${CMAKE_INSTALL_FULL_BINDIR}" "${_trovik_help_dir}")
target_compile_definitions(trovik_linux PRIVATE
  TROVIK_HELP_FROM_BINDIR="${_trovik_help_from_bindir}"
  TROVIK_SOURCE_README="${CMAKE_SOURCE_DIR}/README.md")
