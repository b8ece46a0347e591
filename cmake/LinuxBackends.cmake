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
