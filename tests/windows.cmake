# Tests of the Windows build, run under Wine in a private prefix made once per
# run of the suite. They share one wineserver, so they run one at a time.
set(WINE_RUN ${PROJECT_SOURCE_DIR}/tools/windows/wine-run)
set(WINE_ENVIRONMENT SHADERBENCH_WINE_DIR=${CMAKE_BINARY_DIR}/wine)

add_test(NAME wine_prefix COMMAND ${WINE_RUN} --create-prefix)
add_test(NAME wine_stop COMMAND ${WINE_RUN} --stop)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

# One entry for the whole unit test program: every start of Wine costs a second.
add_test(NAME wine_unit_tests COMMAND ${WINE_RUN} $<TARGET_FILE:unit_tests>)

# Holds a file open with share mode 0, as another Windows program might.
add_executable(hold_file e2e/hold_file.cpp)
add_test(NAME wine_e2e COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_wine.py)

set_tests_properties(wine_prefix wine_stop wine_unit_tests wine_e2e PROPERTIES
  LABELS wine RUN_SERIAL ON TIMEOUT 600
  ENVIRONMENT "${WINE_ENVIRONMENT};SHADERBENCH=$<TARGET_FILE:shaderbench>;HOLD_FILE=$<TARGET_FILE:hold_file>")
set_tests_properties(wine_unit_tests wine_e2e PROPERTIES FIXTURES_REQUIRED wine)
