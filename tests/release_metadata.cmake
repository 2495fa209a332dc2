# SPDX-License-Identifier: MIT
# cmake -D SOURCE_DIR=... -D VERSION=... -D RELEASE_DATE=YYYY-MM-DD -D SUMMARY=... -D HOMEPAGE=...
#       -D MAINTAINER=... -D DESCRIPTION=... -D IMAGE_NAME=... [-D MISMATCH=ON -D SCRATCH=...]
#       -P release_metadata.cmake
#
# Compares every copy that the distribution recipes in SOURCE_DIR/packaging
# and the Kubernetes manifests in SOURCE_DIR/deploy keep of the release's metadata with the values given, which come from
# CMakeLists.txt; on a mismatch, fails naming the file and the two values.
# With MISMATCH, checks that a copy of the recipes with a changed version,
# date and maintainer fails so, and that with every value changed each copy
# is reported.

if(MISMATCH)
  file(REMOVE_RECURSE "${SCRATCH}")
  file(COPY "${SOURCE_DIR}/packaging" "${SOURCE_DIR}/deploy" DESTINATION "${SCRATCH}")
  set(recipe "${SCRATCH}/packaging/rpm/gpu-arch.spec")
  file(READ "${recipe}" text)
  string(REGEX REPLACE "\nVersion: +[^\n]+" "\nVersion: 0.0.1" text "${text}")
  file(WRITE "${recipe}" "${text}")
  set(changelog "${SCRATCH}/packaging/debian/changelog")
  file(READ "${changelog}" text)
  string(REGEX REPLACE " -- [^\n]+" " -- Somebody Else <else@example.org>  Thu, 01 Jan 1970 00:00:00 +0000"
         text "${text}")
  file(WRITE "${changelog}" "${text}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -D SOURCE_DIR=${SCRATCH} "-D VERSION=${VERSION}"
                          "-D RELEASE_DATE=${RELEASE_DATE}" "-D SUMMARY=${SUMMARY}" "-D HOMEPAGE=${HOMEPAGE}"
                          "-D MAINTAINER=${MAINTAINER}" "-D DESCRIPTION=${DESCRIPTION}" -D IMAGE_NAME=${IMAGE_NAME}
                          -P "${CMAKE_CURRENT_LIST_FILE}"
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
  # Every value changed: each copy reports, but the one compared with another copy.
  execute_process(COMMAND "${CMAKE_COMMAND}" -D SOURCE_DIR=${SOURCE_DIR} -D VERSION=9.9.9 -D RELEASE_DATE=1970-01-02
                          "-D SUMMARY=Other summary" -D HOMEPAGE=https://other.example.org/
                          "-D MAINTAINER=Other <other@example.org>" "-D DESCRIPTION=Other text."
                          -D IMAGE_NAME=other.example.org/other -P "${CMAKE_CURRENT_LIST_FILE}"
                  OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  string(REGEX MATCHALL " (packaging|deploy)/[^ :]+: " reported "${output}")
  file(STRINGS "${CMAKE_CURRENT_LIST_FILE}" copies REGEX "^check\\(")
  list(FILTER copies EXCLUDE REGEX "against")
  list(LENGTH copies expected)
  list(LENGTH reported got)
  if(NOT got EQUAL expected)
    message(FATAL_ERROR "with every value changed, ${got} of ${expected} copies were reported:\n${output}")
  endif()
  return()
endif()

set(mismatches "")
# Text folded to one line: line breaks, Debian's continuation marks and the
# changelogs' bullets give way to single spaces.
function(fold text out_var)
  string(REGEX REPLACE "(^|\n)(  \\* |- | \\.?)" "\\1" text "${text}")
  string(REGEX REPLACE "[ \n]+" " " text "${text}")
  string(STRIP "${text}" text)
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()
# Compares the first group of regex in <file> of the source, folded, with value,
# and records a mismatch.
function(check file what regex value)
  file(READ "${SOURCE_DIR}/${file}" text)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${file}: no match for ${regex}")
  endif()
  fold("${CMAKE_MATCH_1}" copy)
  if(NOT copy STREQUAL value)
    set(mismatches "${mismatches}${file}: ${what} is ${copy}, not ${value}\n" PARENT_SCOPE)
  endif()
endfunction()
function(release_date out_var format)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -u -d "${RELEASE_DATE}" "+${format}"
    OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(${out_var} "${date}" PARENT_SCOPE)
endfunction()
fold("${DESCRIPTION}" description)
# Debian's synopsis starts in lower case.
string(SUBSTRING "${SUMMARY}" 0 1 first)
string(SUBSTRING "${SUMMARY}" 1 -1 rest)
string(TOLOWER "${first}" first)
release_date(debian_date "%a, %d %b %Y 00:00:00 +0000")
release_date(rpm_date "%a %b %d %Y")

# Debian: the newest changelog entry, the control file and the copyright file.
check(packaging/debian/changelog version "^gpu-arch \\(([^-)]+)-" "${VERSION}")
check(packaging/debian/changelog maintainer "\n -- ([^\n]+>)  " "${MAINTAINER}")
check(packaging/debian/changelog date "\n -- [^\n]+>  ([^\n]+)" "${debian_date}")
check(packaging/debian/control Maintainer "\nMaintainer: ([^\n]+)" "${MAINTAINER}")
check(packaging/debian/control Homepage "\nHomepage: ([^\n]+)" "${HOMEPAGE}")
check(packaging/debian/control synopsis "\nDescription: ([^\n]+)" "${first}${rest}")
check(packaging/debian/control description "\nDescription: [^\n]+\n(( [^\n]*\n?)+)" "${description}")
check(packaging/debian/copyright Upstream-Contact "\nUpstream-Contact: ([^\n]+)" "${MAINTAINER}")

# RPM: the recipe's header, description and newest changelog entry, whose
# text is the Debian entry's.
set(recipe packaging/rpm/gpu-arch.spec)
check(${recipe} Version "\nVersion: +([^\n]+)" "${VERSION}")
check(${recipe} Summary "\nSummary: +([^\n]+)" "${SUMMARY}")
check(${recipe} URL "\nURL: +([^\n]+)" "${HOMEPAGE}")
check(${recipe} description "\n%description\n([^%]+)" "${description}")
check(${recipe} "changelog date" "\n%changelog\n\\* ([A-Z][a-z][a-z] [A-Z][a-z][a-z] [0-9][0-9] [0-9]+) " "${rpm_date}")
check(${recipe} "changelog maintainer" "\n%changelog\n\\* [^\n]+ [0-9]+ ([^\n]+>) - " "${MAINTAINER}")
check(${recipe} "changelog version" "\n%changelog\n\\* [^\n]+> - ([^-\n]+)-" "${VERSION}")
file(READ "${SOURCE_DIR}/packaging/debian/changelog" text)
string(REGEX MATCH "^[^\n]+\n\n(.*)\n\n -- " ignored "${text}")
fold("${CMAKE_MATCH_1}" debian_entry)
check(${recipe} "changelog text (against debian/changelog)" "\n%changelog\n\\* [^\n]+\n(([-  ][^\n]*\n?)+)"
      "${debian_entry}")

# Kubernetes: the image that the kustomization deploys.
set(kustomization deploy/kubernetes/kustomization.yaml)
check(${kustomization} "image name" "\n    newName: ([^\n]+)" "${IMAGE_NAME}")
check(${kustomization} "image tag" "\n    newTag: ([^\n]+)" "${VERSION}")

if(mismatches)
  message(FATAL_ERROR "The recipes' copies differ from CMakeLists.txt:\n${mismatches}")
endif()
