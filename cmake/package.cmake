# A Debian package of the installed tree: `cmake --build build --target package`
# writes shaderbench_<version>_amd64.deb beside the build tree's files.
#
# CPack stages the install rules under /usr; at packaging time (not at
# configure time, so that a new commit needs no reconfigure)
# package_version.cmake names the version after the last commit and sets
# SOURCE_DATE_EPOCH to its time, and package_files.cmake adds what only a
# package carries (manual pages, changelog, copyright) and pins every mtime,
# so two builds of one commit give the same bytes.

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME shaderbench)
set(CPACK_PACKAGE_CONTACT "shaderbench maintainers <maintainers@users.noreply.c-seed-47831408.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OpenGL shader compile benchmark and driver comparison")
# CPack puts the summary first and turns the blank line into Debian's " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "shaderbench compiles and links one vertex and one fragment shader 1000 times
in an OpenGL 2.0 context, each time with a different comment appended so that
no shader cache can answer, and reports the time taken and the growth of the
process's committed memory.

shaderbench-compare runs it repeatedly per driver configuration and shader
pair, on private X servers or the user's desktop, and reports per-program
costs, verdicts (slower, faster, same) with their intervals, CSV, charts and
a self-contained HTML page.")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The binary's libraries come from dpkg-shlibdeps. Python modules and the
# programs the tool starts are invisible to it: they are listed here, and
# tests/package/test_package.py checks the lists against the tool's imports
# and the programs it runs. mesa-utils is no recommendation: every
# comparison asks glxinfo which renderer each configuration gets.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy, python3-scipy, python3-xlib, python3-jinja2, \
libjs-chart.js, xvfb, mesa-utils")
# --calls (apitrace, glretrace); the PNG charts; bisect and record --commit, which read the driver's
# history; a history store in PostgreSQL (the default, SQLite, is Python's own); --clock instructions
# where the kernel has no hardware counter (callgrind).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "apitrace, python3-matplotlib, git, python3-psycopg, valgrind")
# zink, the one built-in configuration that needs a Vulkan driver.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mesa-vulkan-drivers")
# Byte-compile the private modules on install and remove the caches on
# removal, as Debian's Python packages do.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
                                       ${PROJECT_SOURCE_DIR}/packaging/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/package_version.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package_files.cmake)
# Read by the two scripts above.
set(CPACK_SHADERBENCH_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_SHADERBENCH_BASE_VERSION ${PROJECT_VERSION})
set(CPACK_SHADERBENCH_STRIP ${CMAKE_STRIP})
include(CPack)
