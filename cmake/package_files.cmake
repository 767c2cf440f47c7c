# Run by cpack on the staged tree, before it is packed: adds what only the
# package carries (manual pages, changelog, copyright), then pins every
# file's time and mode, so that two builds of one commit give the same bytes.
# The version and SOURCE_DATE_EPOCH come from package_version.cmake.

set(source ${CPACK_SHADERBENCH_SOURCE_DIR})
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(version ${CPACK_DEBIAN_PACKAGE_VERSION})
set(epoch $ENV{SOURCE_DATE_EPOCH})
set(work ${CPACK_TOPLEVEL_DIRECTORY}/package-files)  # outside the staged tree
set(doc ${root}/usr/share/doc/shaderbench)
set(man ${root}/usr/share/man/man1)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work} ${man})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "packaging: `${ARGN}` failed (${failed})")
  endif()
endfunction()

# shaderbench takes no arguments: its page is kept by hand. The pages' footers
# carry the release and the commit's date (the whole version would not fit).
string(TIMESTAMP DATE "%Y-%m-%d" UTC)
set(VERSION ${CPACK_SHADERBENCH_BASE_VERSION})
configure_file(${source}/packaging/shaderbench.1.in ${man}/shaderbench.1 @ONLY)

# shaderbench-compare's page is made from the staged tool's own -h, then
# each subcommand's (in the order the tool lists them), so it follows the
# options: all printed by one process from the tool's own parsers, since
# each start of the tool imports its whole package. help2man wants a program
# of the command's name that starts its help with "Usage:"; each usage goes
# on one line under its subcommand's name, and Python writes no byte code
# into the staged tree. help2man hands the program to a shell unquoted: it
# is named from its own directory, whatever spaces the build tree's path has.
file(WRITE ${work}/shaderbench-compare "#!/bin/sh
export COLUMNS=1000 PYTHONDONTWRITEBYTECODE=1
/usr/bin/python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from sbench import compare
parser, parsers = compare.command_parser()
print(*(p.format_help() for p in [parser] + parsers), sep=\"\\n\", end=\"\")' '${root}/usr/share/shaderbench/tools' |
    sed '1s/^usage: [^ ]*/Usage: shaderbench-compare/; s/^   or: compare/   or: shaderbench-compare/
         s/^usage: compare \\([a-z]*\\) \\(.*\\)/\\1:\\n  shaderbench-compare \\1 \\2\\n/'
")
file(CHMOD ${work}/shaderbench-compare PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
find_program(HELP2MAN help2man REQUIRED)
run(${HELP2MAN} --no-info --help-option=-h --version-string=${VERSION}
    --name "compare OpenGL drivers with shaderbench" --include ${source}/packaging/shaderbench-compare.h2m
    --output ${man}/shaderbench-compare.1 ./shaderbench-compare WORKING_DIRECTORY ${work})

# A changelog in Debian's format: the package is native, one entry per snapshot.
execute_process(COMMAND git -C ${source} log -1 --format=%H
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT commit)
  set(commit "unknown (built outside git)")
endif()
string(TIMESTAMP when "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog "shaderbench (${version}) unstable; urgency=medium

  * Snapshot of the project's repository at commit
    ${commit}.

 -- ${CPACK_PACKAGE_CONTACT}  ${when}
")
configure_file(${source}/packaging/copyright ${doc}/copyright COPYONLY)
# The sample shaders are data, though lintian takes a .txt file for documentation.
configure_file(${source}/packaging/lintian-overrides ${root}/usr/share/lintian/overrides/shaderbench COPYONLY)

# Stripped as dh_strip does: no symbols, no compiler notes. The loop stays named in the benchmark's
# dynamic symbol table, where the counter finds it.
foreach(program usr/bin/shaderbench usr/lib/shaderbench/shaderbench-count)
  if(EXISTS ${root}/${program})  # the counter is built for x86-64 only
    run(${CPACK_SHADERBENCH_STRIP} --remove-section=.comment --remove-section=.note ${root}/${program})
  endif()
endforeach()

run(gzip -9nf ${man}/shaderbench.1 ${man}/shaderbench-compare.1 ${doc}/changelog)
run(chmod -R u=rwX,go=rX ${root})
run(find ${root} -exec touch --no-dereference --date=@${epoch} {} +)
