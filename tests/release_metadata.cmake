# SPDX-License-Identifier: MIT
# cmake -D SOURCE_DIR=... -D VERSION=... -D RELEASE_DATE=YYYY-MM-DD -D SUMMARY=... -D HOMEPAGE=...
#       -D MAINTAINER=... -D DESCRIPTION=... [-D MISMATCH=ON -D SCRATCH=...] -P release_metadata.cmake
#
# Compares every copy that the distribution recipes in SOURCE_DIR/packaging
# keep of the release's metadata with the values given, which come from
# CMakeLists.txt; on a mismatch, fails naming the file and the two values.
# With MISMATCH, checks that a copy of the recipes with a changed version,
# date and maintainer fails so.

if(MISMATCH)
  file(REMOVE_RECURSE "${SCRATCH}")
  file(COPY "${SOURCE_DIR}/packaging" DESTINATION "${SCRATCH}")
  set(spec "${SCRATCH}/packaging/rpm/gpu-arch.spec")
  file(READ "${spec}" text)
  string(REGEX REPLACE "\nVersion: +[^\n]+" "\nVersion: 0.0.1" text "${text}")
  file(WRITE "${spec}" "${text}")
  set(changelog "${SCRATCH}/packaging/debian/changelog")
  file(READ "${changelog}" text)
  string(REGEX REPLACE " -- [^\n]+" " -- Somebody Else <else@example.org>  Thu, 01 Jan 1970 00:00:00 +0000"
         text "${text}")
  file(WRITE "${changelog}" "${text}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -D SOURCE_DIR=${SCRATCH} "-D VERSION=${VERSION}"
                          "-D RELEASE_DATE=${RELEASE_DATE}" "-D SUMMARY=${SUMMARY}" "-D HOMEPAGE=${HOMEPAGE}"
                          "-D MAINTAINER=${MAINTAINER}" "-D DESCRIPTION=${DESCRIPTION}" -P "${CMAKE_CURRENT_LIST_FILE}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  foreach(expected "packaging/rpm/gpu-arch.spec: Version is 0.0.1, not ${VERSION}"
                   "packaging/debian/changelog: date is Thu, 01 Jan 1970"
                   "packaging/debian/changelog: maintainer is Somebody Else <else@example.org>, not ${MAINTAINER}")
    string(FIND "${output}" "${expected}" at)
    if(status EQUAL 0 OR at EQUAL -1)
      message(FATAL_ERROR "changed copies were not reported as '${expected}' (status ${status}):\n${output}")
    endif()
  endforeach()
  return()
endif()

set(mismatches "")
# Records a mismatch unless the copy equals the value.
function(compare file what copy value)
  if(NOT copy STREQUAL value)
    set(mismatches "${mismatches}packaging/${file}: ${what} is ${copy}, not ${value}\n" PARENT_SCOPE)
  endif()
endfunction()
# Sets out_var to the first group of the first match of regex in file.
function(copy_in file regex out_var)
  file(READ "${SOURCE_DIR}/packaging/${file}" text)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "packaging/${file}: no match for ${regex}")
  endif()
  set(${out_var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()
function(release_date out_var format)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -u -d "${RELEASE_DATE}" "+${format}"
    OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(${out_var} "${date}" PARENT_SCOPE)
endfunction()
# Paragraphs folded to one line each way: spaces for line breaks.
function(unfold text out_var)
  string(REGEX REPLACE "\n \\.?" "\n" text "${text}")
  string(REGEX REPLACE "[ \n]+" " " text "${text}")
  string(STRIP "${text}" text)
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()
unfold("${DESCRIPTION}" description)
# Debian's synopsis starts in lower case.
string(SUBSTRING "${SUMMARY}" 0 1 first)
string(SUBSTRING "${SUMMARY}" 1 -1 rest)
string(TOLOWER "${first}" first)
set(synopsis "${first}${rest}")

# Debian: the newest changelog entry, the control file and the copyright file.
copy_in(debian/changelog "^gpu-arch \\(([^-)]+)-" copy)
compare(debian/changelog version "${copy}" "${VERSION}")
copy_in(debian/changelog "\n -- ([^\n]+>)  " copy)
compare(debian/changelog maintainer "${copy}" "${MAINTAINER}")
copy_in(debian/changelog "\n -- [^\n]+>  ([^\n]+)" copy)
release_date(date "%a, %d %b %Y 00:00:00 +0000")
compare(debian/changelog date "${copy}" "${date}")
copy_in(debian/changelog "^[^\n]+\n\n(.*)\n\n -- " deb_entry)
copy_in(debian/control "\nMaintainer: ([^\n]+)" copy)
compare(debian/control Maintainer "${copy}" "${MAINTAINER}")
copy_in(debian/control "\nHomepage: ([^\n]+)" copy)
compare(debian/control Homepage "${copy}" "${HOMEPAGE}")
copy_in(debian/control "\nDescription: ([^\n]+)" copy)
compare(debian/control synopsis "${copy}" "${synopsis}")
copy_in(debian/control "\nDescription: [^\n]+\n(( [^\n]*\n?)+)" copy)
unfold("${copy}" copy)
compare(debian/control description "${copy}" "${description}")
copy_in(debian/copyright "\nUpstream-Contact: ([^\n]+)" copy)
compare(debian/copyright Upstream-Contact "${copy}" "${MAINTAINER}")

# RPM: the recipe's header, description and newest changelog entry, whose
# text is the Debian entry's.
set(spec rpm/gpu-arch.spec)
copy_in(${spec} "\nVersion: +([^\n]+)" copy)
compare(${spec} Version "${copy}" "${VERSION}")
copy_in(${spec} "\nSummary: +([^\n]+)" copy)
compare(${spec} Summary "${copy}" "${SUMMARY}")
copy_in(${spec} "\nURL: +([^\n]+)" copy)
compare(${spec} URL "${copy}" "${HOMEPAGE}")
copy_in(${spec} "\n%description\n([^%]+)" copy)
unfold("${copy}" copy)
compare(${spec} description "${copy}" "${description}")
copy_in(${spec} "\n%changelog\n\\* ([A-Z][a-z][a-z] [A-Z][a-z][a-z] [0-9][0-9] [0-9]+) " copy)
release_date(date "%a %b %d %Y")
compare(${spec} "changelog date" "${copy}" "${date}")
copy_in(${spec} "\n%changelog\n\\* [^\n]+ [0-9]+ ([^\n]+>) - " copy)
compare(${spec} "changelog maintainer" "${copy}" "${MAINTAINER}")
copy_in(${spec} "\n%changelog\n\\* [^\n]+> - ([^-\n]+)-" copy)
compare(${spec} "changelog version" "${copy}" "${VERSION}")
copy_in(${spec} "\n%changelog\n\\* [^\n]+\n(([-  ][^\n]*\n?)+)" copy)
string(REGEX REPLACE "(^|\n)- " "\\1" copy "${copy}")
string(REGEX REPLACE "(^|\n)  \\* " "\\1" deb_entry "${deb_entry}")
unfold("${copy}" copy)
unfold("${deb_entry}" deb_entry)
compare(${spec} "changelog text (against debian/changelog)" "${copy}" "${deb_entry}")

if(mismatches)
  message(FATAL_ERROR "The recipes' copies differ from CMakeLists.txt:\n${mismatches}")
endif()
