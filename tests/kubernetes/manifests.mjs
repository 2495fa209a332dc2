// SPDX-License-Identifier: MIT
// The Kubernetes manifests in deploy/kubernetes, read as Kubernetes reads them.
//
//   node manifests.mjs validate FOLDER
//       every object of the kustomization, and the DaemonSet with each patch
//       the kustomization offers, against Kubernetes' own schemas
//   kubectl kustomize FOLDER | node manifests.mjs check FOLDER VERSION
//       the rendered objects against what a mistake would silently break,
//       and against what they must be, each broken rule a line; prints the
//       architectures it may run on
//   node manifests.mjs podman FOLDER [HOSTPATH=FOLDER...]
//       the DaemonSet's container as the arguments of podman run, NUL after
//       each: the options, "IMAGE", then the container's args; host paths
//       are mapped to the folders given, and CREATE=FOLDER names each that
//       the kubelet makes when missing. A field it cannot map is an error,
//       so that what the test runs is what the manifest says.
import { readFileSync } from "node:fs";
import { parseAllDocuments } from "yaml";
import { DaemonSet } from "kubernetes-models/apps/v1/DaemonSet";
import { ServiceAccount } from "kubernetes-models/v1/ServiceAccount";

const [mode, folder, ...mappings] = process.argv.slice(2);
const version = mappings[0];
const fail = (message) => {
  console.error(`manifests.mjs: ${message}`);
  process.exit(1);
};
const read = (name) =>
  parseAllDocuments(readFileSync(`${folder}/${name}`, "utf8")).map((document) => {
    if (document.errors.length > 0) fail(`${name}: ${document.errors[0].message}`);
    return document.toJS();
  });

const [kustomization] = read("kustomization.yaml");
const objects = kustomization.resources.flatMap(read);
const daemonSet = objects.find((object) => object.kind === "DaemonSet");
if (!daemonSet) fail("the kustomization has no DaemonSet");

// A strategic merge patch as kubectl applies it to these fields: lists of
// named objects merge by name, other lists are replaced.
const merge = (base, patch) => {
  if (Array.isArray(base) && Array.isArray(patch) && patch.every((item) => item?.name !== undefined)) {
    const merged = base.map((item) => {
      const match = patch.find((other) => other.name === item.name);
      return match ? merge(item, match) : item;
    });
    return merged.concat(patch.filter((item) => !base.some((other) => other.name === item.name)));
  }
  if (typeof base === "object" && base !== null && typeof patch === "object" && !Array.isArray(patch)) {
    const merged = { ...base };
    for (const [key, value] of Object.entries(patch)) merged[key] = key in base ? merge(base[key], value) : value;
    return merged;
  }
  return patch;
};

if (mode === "validate") {
  // The patches offered in comments as well as those in force.
  const offered = readFileSync(`${folder}/kustomization.yaml`, "utf8").match(/path: *\S+\.yaml/g) ?? [];
  const patches = offered.map((line) => line.replace(/path: */, ""));
  const variants = [["daemonset.yaml", daemonSet]].concat(
    patches.map((name) => [`daemonset.yaml with ${name}`, read(name).reduce(merge, daemonSet)]),
    objects.filter((object) => object.kind === "ServiceAccount").map((account) => [`ServiceAccount ${account.metadata?.name}`, account, ServiceAccount]),
  );
  for (const [name, object, Model = DaemonSet] of variants) {
    try {
      new Model(object).validate();
    } catch (error) {
      fail(`${name}: ${error.message}`);
    }
    console.log(`valid: ${name}`);
  }
  const image = kustomization.images?.find((entry) => entry.name === daemonSet.spec.template.spec.containers[0].image);
  if (!image?.newName || !image?.newTag) fail("kustomization.yaml does not name the DaemonSet's image");
  console.log(`image: ${image.newName}:${image.newTag}`);
} else if (mode === "podman") {
  const pod = daemonSet.spec.template.spec;
  if (pod.containers.length !== 1 || pod.initContainers) fail("the test runs one container");
  const [container] = pod.containers;
  const known = ["name", "image", "args", "env", "securityContext", "resources", "volumeMounts", "readinessProbe"];
  const unknown = Object.keys(container).filter((key) => !known.includes(key));
  if (unknown.length > 0) fail(`the test cannot map ${unknown.join(", ")}`);
  const mapped = Object.fromEntries(mappings.map((mapping) => mapping.split("=")));
  const options = [];
  const security = container.securityContext ?? {};
  for (const [key, value] of Object.entries(security)) {
    if (key === "runAsUser") options.push(`--user=${value}`);
    else if (key === "readOnlyRootFilesystem" && value) options.push("--read-only");
    else if (key === "allowPrivilegeEscalation" && !value) options.push("--security-opt=no-new-privileges");
    else if (key === "seccompProfile" && value.type === "RuntimeDefault") continue; // podman's default
    else if (key === "capabilities") {
      for (const capability of value.drop ?? []) options.push(`--cap-drop=${capability.toLowerCase()}`);
      for (const capability of value.add ?? []) options.push(`--cap-add=${capability.toLowerCase()}`);
    } else fail(`the test cannot map securityContext.${key}: ${JSON.stringify(value)}`);
  }
  for (const { name, value } of container.env ?? []) options.push(`--env=${name}=${value}`);
  const limits = container.resources?.limits ?? {};
  if (limits.memory) options.push(`--memory=${limits.memory.replace(/Mi$/, "m")}`);
  if (limits.cpu) options.push(`--cpus=${parseInt(limits.cpu, 10) / 1000}`);
  const probe = container.readinessProbe;
  if (probe && (!probe.exec?.command || Object.keys(probe).some((key) => !["exec", "periodSeconds"].includes(key))))
    fail(`the test cannot map readinessProbe: ${JSON.stringify(probe)}`);
  if (probe) options.push(`--health-cmd=${JSON.stringify(probe.exec.command)}`, `--health-interval=${probe.periodSeconds ?? 10}s`);
  for (const mount of container.volumeMounts ?? []) {
    const volume = pod.volumes.find((candidate) => candidate.name === mount.name);
    const host = volume?.hostPath?.path;
    if (!host || !(host in mapped)) fail(`no folder is given for the volume ${mount.name} (${host})`);
    options.push(`--volume=${mapped[host]}:${mount.mountPath}${mount.readOnly ? ":ro" : ""}`);
    if (volume.hostPath.type === "DirectoryOrCreate") options.push(`CREATE=${mapped[host]}`);
  }
  process.stdout.write([...options, "IMAGE", ...(container.args ?? [])].map((word) => `${word}\0`).join(""));
} else if (mode === "check") {
  const rendered = parseAllDocuments(readFileSync(0, "utf8")).map((document) => document.toJS());
  const set = rendered.find((object) => object.kind === "DaemonSet");
  const [pod, labels, problems] = [set.spec.template.spec, set.spec.template.metadata?.labels ?? {}, []];
  const [container, selector] = [pod.containers[0], Object.entries(set.spec.selector.matchLabels ?? {})];
  const rule = (holds, problem) => holds || problems.push(problem);
  rule(selector.length > 0 && selector.every(([key, value]) => labels[key] === value), "the selector does not match the pod's labels");
  rule(pod.tolerations?.some((toleration) => toleration.operator === "Exists" && !toleration.key), "tainted nodes are not tolerated");
  const classes = rendered.filter((object) => object.kind === "PriorityClass").map((object) => object.metadata.name);
  rule(!pod.priorityClassName || classes.includes(pod.priorityClassName), `priorityClassName ${pod.priorityClassName} is no class of its own`);
  const maxUnavailable = set.spec.updateStrategy?.rollingUpdate?.maxUnavailable;
  rule(/^[1-9][0-9]*%$/.test(maxUnavailable), `maxUnavailable ${maxUnavailable} is no share of the nodes`);
  const terms = pod.affinity?.nodeAffinity?.requiredDuringSchedulingIgnoredDuringExecution?.nodeSelectorTerms ?? [];
  const values = (term, key) => term.matchExpressions?.find((match) => match.key === key && match.operator === "In")?.values;
  rule(terms.length > 0 && terms.every((term) => values(term, "kubernetes.io/os")?.join() === "linux"), "kubernetes.io/os is not linux alone");
  rule(!container.command, "command replaces the image's entry point");
  const security = container.securityContext ?? {};
  rule(security.runAsUser === 0 && security.readOnlyRootFilesystem === true && security.allowPrivilegeEscalation === false &&
      !security.privileged && security.seccompProfile?.type === "RuntimeDefault" && security.capabilities?.drop?.join() === "ALL" &&
      !security.capabilities.add, "securityContext: not root with a read-only root, no escalation, no capability and the default filter");
  // The folders it writes: each consumer's, as the args and GPU_ARCH_PUBLISH name them, and the state.
  const words = [...(container.args ?? []), ...(container.env?.find((variable) => variable.name === "GPU_ARCH_PUBLISH")?.value.split(/\s+/) ?? [])];
  const files = words.flatMap((word, at) => (["nfd", "prometheus"].includes(word) ? [`${word} ${words[at + 1]}`] : []));
  const [folders, features] = [files.map((file) => file.replace(/^\S+ (.*)\/[^/]*$/, "$1")).concat("/var/lib/gpu_arch-publish"), "/etc/kubernetes/node-feature-discovery/features.d"];
  rule(files.some((file) => new RegExp(`^nfd ${features}/[^./][^/]*$`).test(file)), `no feature file right in ${features}, its name not starting with a dot`);
  for (const folder of folders) {
    const mount = container.volumeMounts?.find((candidate) => candidate.mountPath === folder);
    const path = pod.volumes?.find((volume) => volume.name === mount?.name)?.hostPath;
    rule(path?.path === folder && !mount.readOnly, `${folder} is not the host's, writable`);
    rule(!path || path.type === "DirectoryOrCreate", `${folder}: hostPath type ${path?.type} (a missing folder stalls the pod)`);
  }
  for (const mount of container.volumeMounts ?? []) rule(folders.includes(mount.mountPath), `${mount.mountPath} is mounted but written by none`);
  // What they must be: the release index's platforms, the image the README
  // copies, the limits bench/run measured room for, a lifetime the pass
  // accepts (its interval, 60 s, and a minute), no token, one namespace.
  const architectures = [...new Set(terms.flatMap((term) => values(term, "kubernetes.io/arch") ?? []))].sort().join(" ");
  rule(architectures === "amd64 arm64", `architectures ${architectures}, not the release index's amd64 arm64`);
  const [kustomization] = read("kustomization.yaml");
  const image = kustomization.images?.[0];
  rule(container.image === `${image?.newName}:${version}` && image?.newName.endsWith("/gpu_arch") && image?.newTag === version,
    `image ${container.image}, not REGISTRY/gpu_arch:${version} as kustomization.yaml names it`);
  const { requests, limits } = container.resources ?? {};
  const resources = `requests ${requests?.cpu} ${requests?.memory}, limits ${limits?.cpu} ${limits?.memory}`;
  rule(resources === "requests 5m 8Mi, limits 100m 32Mi", `resources: ${resources}, not requests 5m 8Mi, limits 100m 32Mi`);
  const lifetime = words.flatMap((word, at) => (word === "lifetime" ? [Number(words[at + 1])] : []));
  rule(lifetime.every((seconds) => seconds >= 120 && seconds <= 604800), `lifetime ${lifetime}: the pass takes 120 to 604800`);
  const accounts = rendered.filter((object) => object.kind === "ServiceAccount" && object.metadata.name === pod.serviceAccountName);
  rule(pod.automountServiceAccountToken === false && accounts.length === 1 && accounts[0].automountServiceAccountToken === false,
    "the service-account token is mounted, or the pod has no account of its own");
  const namespaces = [...new Set(rendered.map((object) => object.metadata.namespace))].join(" ");
  rule(namespaces === "kube-system", `namespace ${namespaces}, not kube-system as README says`);
  rule(container.readinessProbe?.exec?.command?.join(" ") === "/usr/sbin/gpu_arch-publish ready", "no readiness check: a pod that cannot publish looks ready");
  if (problems.length > 0) fail(problems.join("\nmanifests.mjs: "));
  console.log(`architectures: ${architectures}`);
} else {
  fail(`usage: node manifests.mjs validate FOLDER|check FOLDER VERSION|podman FOLDER [HOSTPATH=FOLDER...]`);
}
