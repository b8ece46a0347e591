# Libraries of the Linux backends. Every backend links here, so adding a backend file
# needs no change to the build.
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-xtest xcb-ewmh)
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
target_include_directories(trovik_linux SYSTEM PUBLIC ${ASIO_INCLUDE_DIR})
target_compile_definitions(trovik_linux PUBLIC ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(trovik_linux PUBLIC PkgConfig::XCB PkgConfig::AVAHI PkgConfig::SYSTEMD)
# GCC warns that ThreadSanitizer does not model the fences inside Asio's handler calls;
# Asio synchronises those through its own locks, so the warning is not an error here.
if(TROVIK_SANITIZE STREQUAL "thread")
  target_compile_options(trovik_linux PUBLIC $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
endif()
