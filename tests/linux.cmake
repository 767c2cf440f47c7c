# Tests of the native Linux build.

set(SANITIZER_ENVIRONMENT
  LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
gtest_discover_tests(unit_tests DISCOVERY_MODE PRE_TEST
  PROPERTIES LABELS unit ENVIRONMENT "${SANITIZER_ENVIRONMENT}")

# End-to-end tests run the real binary on a private X server with Mesa. In the
# sanitized tree only the full run is repeated there, on softpipe (quicker).
set(E2E_ENVIRONMENT SHADERBENCH=$<TARGET_FILE:shaderbench>)
if(SANITIZE)
  set(E2E_TESTS full_run)
  file(READ lsan.supp LIBRARY_SUPPRESSIONS)
  file(READ lsan-run.supp RUN_SUPPRESSIONS)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/lsan-run.supp "${LIBRARY_SUPPRESSIONS}${RUN_SUPPRESSIONS}")
  # The driver is preloaded (after the sanitizer runtime, which must come first)
  # so that GLFW's teardown cannot unload it before the leak check: what it
  # still holds is then attributed to it instead of to an unknown module.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
    OUTPUT_VARIABLE ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_file(SWRAST_DRIVER swrast_dri.so PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/dri REQUIRED)
  list(APPEND E2E_ENVIRONMENT GALLIUM_DRIVER=softpipe
    SHADERBENCH_PRELOAD=${ASAN_RUNTIME}:${SWRAST_DRIVER}
    LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_BINARY_DIR}/lsan-run.supp:print_suppressions=0
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
else()
  set(E2E_TESTS keys inputs failures trace full_run)
endif()
foreach(name ${E2E_TESTS})
  add_test(NAME e2e_${name} COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_${name}.py)
  set_tests_properties(e2e_${name} PROPERTIES LABELS e2e TIMEOUT 600
    ENVIRONMENT "${E2E_ENVIRONMENT}")
endforeach()

# The comparison tool: its parsing and statistics, and one quick real run.
if(NOT SANITIZE)
  add_test(NAME tool_compare COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/tools/test_compare.py)
  set_tests_properties(tool_compare PROPERTIES LABELS tools TIMEOUT 600
    ENVIRONMENT SHADERBENCH=$<TARGET_FILE:shaderbench>)
endif()
