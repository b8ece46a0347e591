# The Debian package of this build tree, made by CPack and checked. In the normal build only:
# a sanitized program is never packaged, and the package's files are the same in every build.
if(TROVIK_SANITIZE STREQUAL "")
  add_test(NAME package.debian
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/check-package ${CMAKE_BINARY_DIR}/CPackConfig.cmake)
  set_tests_properties(package.debian PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS package)
endif()
