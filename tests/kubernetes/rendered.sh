#!/bin/bash
# SPDX-License-Identifier: MIT
# Usage: rendered.sh SOURCE_DIR SCRATCH required|optional
# deploy/kubernetes as kubectl kustomize renders it, alone and with each patch offered (by patchesStrategicMerge,
# which every kubectl since 1.14 reads), checked by manifests.mjs check; each mistake of the table must fail.
set -eu
top=$1 scratch=$2 need=$3
# A source tree without npm ci's modules (a package's build) skips it.
[ -d "$top/tests/kubernetes/node_modules" ] || { echo "skipped: no npm ci --prefix tests/kubernetes"; exit 0; }
command -v kubectl node >/dev/null || { echo "kubectl or node is missing"; [ "$need" = optional ] && echo "skipped: no kubectl" && exit 0 || exit 1; }
version=$(sed -n 's/^  VERSION //p' "$top/CMakeLists.txt")
render() { # patch or '', then a sed script for the manifests; prints what check says
    rm -rf "$scratch" && cp -r "$top/deploy/kubernetes" "$scratch"
    [ -z "$1" ] || printf 'patchesStrategicMerge:\n  - %s\n' "$1" >>"$scratch/kustomization.yaml"
    sed -i "$2" "$scratch"/*.yaml
    kubectl kustomize "$scratch" 2>/dev/null | node "$top/tests/kubernetes/manifests.mjs" check "$scratch" "$version" 2>&1
}
for patch in '' $(sed -n 's/^#* *- path: *\([^ ]*\.yaml\)$/\1/p' "$top/deploy/kubernetes/kustomization.yaml"); do
    said=$(render "$patch" '') && echo "rendered with '$patch': $said" || { echo "with '$patch': $said"; exit 1; }
done
status=0
# A mistake ¦ the patch in force ¦ a sed script for the manifests ¦ the word.
while IFS= read -r row; do
    mistake=${row%% ¦ *} row=${row#* ¦ } patch=${row%% ¦ *} row=${row#* ¦ } edit=${row% ¦ *} word=${row##* ¦ }
    if said=$(render "$patch" "$edit") || [[ $said != *"$word"* ]]; then echo "FAILED: $mistake: not '$word' but: $said"; status=1; fi
done <<'EOF'
the selector no longer matching ¦  ¦ /matchLabels:/{n;s/: gpu-arch-publish/: gpu-arch/} ¦ selector does not match
a misspelled priority class ¦  ¦ s/^      tolerations:/      priorityClassName: system-node-critcal\n&/ ¦ priorityClassName system-node-critcal
the class of kube-proxy ¦  ¦ s/^      tolerations:/      priorityClassName: system-node-critical\n&/ ¦ priorityClassName system-node-critical
the tolerations dropped ¦  ¦ /tolerations:/,/operator: Exists/d ¦ tainted nodes
Windows nodes ¦  ¦ s/values: \[linux\]/values: [linux, windows]/ ¦ kubernetes.io/os
one node at a time ¦  ¦ s/maxUnavailable: 25%/maxUnavailable: 1/ ¦ maxUnavailable 1
/sys from the host, writable ¦  ¦ s|^          volumeMounts:|&\n            - {name: sys, mountPath: /sys}|;s|^      volumes:|&\n        - {name: sys, hostPath: {path: /sys}}| ¦ /sys is mounted
the feature file a dot-file ¦  ¦ s|features.d/gpu_arch\]|features.d/.gpu_arch]| ¦ no feature file
the feature file below features.d ¦  ¦ s|features.d/gpu_arch\]|features.d/gpu/gpu_arch]| ¦ no feature file
the state mount dropped ¦  ¦ /- name: state/,/mountPath:/d ¦ /var/lib/gpu_arch-publish is not
the features folder read-only ¦  ¦ s|mountPath: /etc/kubernetes/node-feature-discovery/features.d|&\n              readOnly: true| ¦ features.d is not
the textfile folder waited for ¦ textfile-collector.yaml ¦ /node-exporter$/{n;s/type: DirectoryOrCreate/type: Directory/} ¦ node-exporter: hostPath type Directory
the features folder waited for ¦  ¦ /features.d$/{n;s/type: DirectoryOrCreate/type: Directory/} ¦ features.d: hostPath type Directory
the architectures narrowed ¦  ¦ s/values: \[amd64, arm64\]/values: [amd64]/ ¦ architectures amd64,
the architectures widened ¦  ¦ s/values: \[amd64, arm64\]/values: [amd64, arm64, s390x]/ ¦ architectures amd64 arm64 s390x
the image renamed in the DaemonSet ¦  ¦ s/image: gpu_arch$/image: gpu-arch/ ¦ image gpu-arch,
the image renamed in the kustomization ¦  ¦ s|newName: \(.*\)/gpu_arch$|newName: \1/gpu-arch| ¦ not REGISTRY/gpu_arch
another version ¦  ¦ s/newTag: .*/newTag: 0.9.0/ ¦ not REGISTRY/gpu_arch
a memory limit of 4 MiB ¦  ¦ s/memory: 32Mi/memory: 4Mi/ ¦ limits 100m 4Mi
a lifetime the pass refuses ¦  ¦ s/value: lifetime 300/value: lifetime 100/ ¦ lifetime 100
the token mounted ¦  ¦ 0,/automountServiceAccountToken: false/s//automountServiceAccountToken: true/ ¦ service-account token
the pod's account dropped ¦  ¦ /serviceAccountName:/d ¦ service-account token
another namespace ¦  ¦ s/^namespace: kube-system/namespace: gpu-arch/ ¦ namespace gpu-arch
the readiness check dropped ¦  ¦ /readinessProbe:/,/periodSeconds:/d ¦ no readiness check
a writable root ¦  ¦ s/readOnlyRootFilesystem: true/readOnlyRootFilesystem: false/ ¦ read-only root
a capability kept ¦  ¦ s/drop: \[ALL\]/drop: [NET_RAW]/ ¦ securityContext
the entry point replaced ¦  ¦ s|^          args:|          command: [/usr/sbin/gpu_arch-publish]\n&| ¦ entry point
EOF
exit $status
