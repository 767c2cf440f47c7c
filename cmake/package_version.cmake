# Read by cpack before it packages: the version and SOURCE_DATE_EPOCH come from
# the last commit, so the package follows the checkout without a reconfigure.
#
# <project version>+git<commit time, UTC, YYYYMMDD.HHMMSS>.<short hash>: dpkg
# orders snapshots by their commit time. Outside git it is the bare version,
# dated 2000-01-01 so that the build stays reproducible.

set(source ${CPACK_SHADERBENCH_SOURCE_DIR})
execute_process(COMMAND git -C ${source} log -1 --format=%ct:%h --abbrev=7
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
if(NOT failed AND commit MATCHES "^([0-9]+):([0-9a-f]+)$")
  set(ENV{SOURCE_DATE_EPOCH} ${CMAKE_MATCH_1})
  string(TIMESTAMP when "%Y%m%d.%H%M%S" UTC)  # of SOURCE_DATE_EPOCH
  set(version ${CPACK_SHADERBENCH_BASE_VERSION}+git${when}.${CMAKE_MATCH_2})
else()
  set(ENV{SOURCE_DATE_EPOCH} 946684800)
  set(version ${CPACK_SHADERBENCH_BASE_VERSION})
endif()
set(CPACK_PACKAGE_VERSION ${version})
set(CPACK_DEBIAN_PACKAGE_VERSION ${version})
