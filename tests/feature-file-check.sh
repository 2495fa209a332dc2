#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: feature-file-check.sh FILE...
# Checks feature files as node feature discovery reads them and as Kubernetes
# names labels: a name that does not start with '.', at most 64 KiB, lines of
# key[=value], '#' comments, '# +expiry-time=' with an RFC 3339 time; a key of
# an optional lower-case DNS-subdomain prefix (at most 253 characters, not
# kubernetes.io or k8s.io but for feature.node.kubernetes.io and below), '/'
# and a name of at most 63 characters of [A-Za-z0-9._-] that starts and ends
# alphanumeric; a value of the same set, or empty. Prints each problem.
status=0
for file in "$@"; do
    case ${file##*/} in .*) echo "$file: the name starts with '.'" && status=1 ;; esac
    [ "$(wc -c <"$file")" -le 65536 ] || { echo "$file: larger than 64 KiB" && status=1; }
    awk -v file="$file" '
        function fail(why) { printf "%s:%d: %s\n", file, NR, why; bad = 1 }
        function qualified(text) { return length(text) <= 63 && text ~ /^[A-Za-z0-9]([-A-Za-z0-9_.]*[A-Za-z0-9])?$/ }
        BEGIN { d = "[0-9]"; time = "^" d d d d "-" d d "-" d d "T" d d ":" d d ":" d d "(\\.[0-9]+)?(Z|[+-]" d d ":" d d ")$" }
        /^#/ {
            if (sub(/^# \+expiry-time=/, "") && $0 !~ time) fail("expiry time " $0 " is no RFC 3339 time")
            next
        }
        /^[ \t]*$/ { next }
        {
            eq = index($0, "="); key = eq ? substr($0, 1, eq - 1) : $0; value = eq ? substr($0, eq + 1) : "true"
            slash = index(key, "/"); prefix = substr(key, 1, slash - 1); name = substr(key, slash + 1)
            label = "[a-z0-9]([-a-z0-9]*[a-z0-9])?"
            if (slash && (length(prefix) > 253 || prefix !~ ("^" label "(\\." label ")*$")))
                fail("prefix " prefix " is no DNS subdomain")
            if (prefix ~ /(^|\.)(kubernetes|k8s)\.io$/ && prefix !~ /(^|\.)feature\.node\.kubernetes\.io$/)
                fail("prefix " prefix " is kept by Kubernetes")
            if (!qualified(name)) fail("name " name " is no qualified name")
            if (value != "" && !qualified(value)) fail("value " value " is no label value")
        }
        END { exit bad }' "$file" || status=1
done
exit $status
