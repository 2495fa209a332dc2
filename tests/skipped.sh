#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: skipped.sh BUILD
# Run by CTest after its summary (CTEST_CUSTOM_POST_TEST): why each test that
# did not run was skipped, as its output said ("skipped: why", or GoogleTest's
# line after "Skipped").
# CTest renames its log from LastTest.log.tmp only after this runs.
log=$1/Testing/Temporary/LastTest.log
[ -f "$log.tmp" ] && log=$log.tmp
[ -f "$log" ] || exit 0
awk '
/^[0-9]+\/[0-9]+ Test: / { name = substr($0, index($0, " Test: ") + 7); reason = "" }
/^Output:$/ { output = 1 }
/^<end of output>$/ { output = 0 }
output && reason == "" && /skipped: / { reason = substr($0, index($0, "skipped: ") + 9) }
output && reason == "" && previous ~ /: Skipped$/ { reason = $0 }
/^Skip regular expression found in output/ {
    if (!said++) print "Why they did not run:"
    print "\t" name ": " (reason == "" ? "the test gave no reason" : reason)
}
{ previous = $0 }
' "$log"
