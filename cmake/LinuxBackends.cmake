# Libraries of the Linux backends. Every backend links here, so adding a backend file
# needs no change to the build.
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-xtest xcb-ewmh xau)
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
# One Asio configuration for every translation unit: Asio otherwise decides some of it from
# which standard headers came first, and memory it recycles must be freed as it was taken.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(trovik_asio INTERFACE)
target_include_directories(trovik_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(trovik_asio INTERFACE
  ASIO_STANDALONE ASIO_NO_DEPRECATED ASIO_HAS_STD_ALIGNED_ALLOC=1)
target_link_libraries(trovik_linux PUBLIC trovik_asio PkgConfig::XCB PkgConfig::AVAHI PkgConfig::SYSTEMD)
# GCC warns that ThreadSanitizer does not model the fences inside Asio's handler calls;
# Asio synchronises those through its own locks, so the warning is not an error here.
if(TROVIK_SANITIZE STREQUAL "thread")
  target_compile_options(trovik_linux PUBLIC $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
endif()

# Wayland: the compositor's protocols, compiled from the XML kept in protocols/ (and the
# wayland-protocols package's, for the tests' own windows). wayland_protocol(target xml)
# adds the client header and the glue code to `target`.
enable_language(C)
pkg_check_modules(WAYLAND REQUIRED IMPORTED_TARGET wayland-client xkbcommon)
pkg_get_variable(WAYLAND_SCANNER wayland-scanner wayland_scanner)
pkg_get_variable(WAYLAND_PROTOCOLS_DIR wayland-protocols pkgdatadir)
set(TROVIK_PROTOCOL_DIR ${CMAKE_BINARY_DIR}/protocols)
function(wayland_protocol target xml)
  get_filename_component(name ${xml} NAME_WE)
  set(header ${TROVIK_PROTOCOL_DIR}/${name}-client-protocol.h)
  set(code ${TROVIK_PROTOCOL_DIR}/${name}-protocol.c)
  add_custom_command(OUTPUT ${header} ${code}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TROVIK_PROTOCOL_DIR}
    COMMAND ${WAYLAND_SCANNER} client-header ${xml} ${header}
    COMMAND ${WAYLAND_SCANNER} private-code ${xml} ${code}
    DEPENDS ${xml} VERBATIM)
  target_sources(${target} PRIVATE ${header} ${code})
  target_include_directories(${target} SYSTEM PUBLIC ${TROVIK_PROTOCOL_DIR})
endfunction()
wayland_protocol(trovik_linux ${PROJECT_SOURCE_DIR}/protocols/wlr-foreign-toplevel-management-unstable-v1.xml)
wayland_protocol(trovik_linux ${PROJECT_SOURCE_DIR}/protocols/virtual-keyboard-unstable-v1.xml)
target_link_libraries(trovik_linux PUBLIC PkgConfig::WAYLAND)
# KWin's own protocols, from the plasma-wayland-protocols package.
find_package(PlasmaWaylandProtocols REQUIRED)  # sets PLASMA_WAYLAND_PROTOCOLS_DIR
wayland_protocol(trovik_linux ${PLASMA_WAYLAND_PROTOCOLS_DIR}/fake-input.xml)
wayland_protocol(trovik_linux ${PLASMA_WAYLAND_PROTOCOLS_DIR}/plasma-window-management.xml)
