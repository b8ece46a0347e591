# End-to-end tests: the built trovik-helper, each test in a network namespace of its own,
# driven over UDP as a tablet drives it. The harness library is for every such test.
if(TARGET trovik-helper)
  add_library(trovik_e2e_harness INTERFACE)
  target_include_directories(trovik_e2e_harness INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(trovik_e2e_harness INTERFACE
    TROVIK_HELPER_PATH="$<TARGET_FILE:trovik-helper>")
  target_link_libraries(trovik_e2e_harness INTERFACE trovik_test_support GTest::gtest Threads::Threads)

  file(GLOB E2E_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
  add_executable(e2e_tests ${CMAKE_CURRENT_LIST_DIR}/e2e_main.cpp ${E2E_TEST_SOURCES}
                           ${CMAKE_CURRENT_LIST_DIR}/../behaviour/table.cpp)
  target_link_libraries(e2e_tests PRIVATE trovik_e2e_harness trovik_linux)
  add_dependencies(e2e_tests trovik-helper trovik-test-window)
  target_compile_definitions(e2e_tests PRIVATE TROVIK_TEST_WINDOW="$<TARGET_FILE:trovik-test-window>")
  # The tray tests: a private bus, and a real tray (xfce4-panel) whose screenshot documents it.
  target_compile_definitions(e2e_tests PRIVATE
    TROVIK_TRAY_SESSION="${CMAKE_CURRENT_LIST_DIR}/tray-session"
    TROVIK_SCREENSHOT="${CMAKE_BINARY_DIR}/docs/tray-menu.png")
  # The install test installs this build tree as a user would.
  target_compile_definitions(e2e_tests PRIVATE
    TROVIK_BUILD_DIR="${CMAKE_BINARY_DIR}" TROVIK_CMAKE="${CMAKE_COMMAND}")
  # Each test runs as a process of its own, so each gets a fresh namespace. Where a test gives
  # the agent a system bus, Avahi's libdbus connection opens and closes there.
  gtest_discover_tests(e2e_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS e2e
    ENVIRONMENT_MODIFICATION
      "TSAN_OPTIONS=string_append: suppressions=${PROJECT_SOURCE_DIR}/tests/tsan-libdbus.supp")
endif()
