#!/usr/bin/env bash
# Validates contrib/kubernetes/*.yaml against the Kubernetes API schemas
# offline, and shows that the check can fail: copies broken on purpose must
# be refused.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v npm >/dev/null || ./scripts/install-packages.sh nodejs npm
work=build/kubernetes-check
mkdir -p "$work"
[ -f "$work/package.json" ] || echo '{"private": true}' >"$work/package.json"
# A chroot made with debootstrap lacks what its host may need to reach the
# registry (a proxy's certificate authority, say); anywhere else a failed
# install fails the check.
if ischroot && ! timeout 60 npm view js-yaml@4.1.0 version --fetch-retries=0 >/dev/null 2>&1; then
    echo "== Kubernetes manifests: not checked inside this chroot, which cannot reach the npm registry"
    exit 0
fi
npm install --prefix "$work" --no-audit --no-fund --silent kubernetes-models@4.5.1 js-yaml@4.1.0
validate() { NODE_PATH="$work/node_modules" node scripts/validate-kubernetes.js "$@"; }

echo "== Kubernetes manifests"
validate contrib/kubernetes/*.yaml

# Each broken copy differs from the manifest in one place.
manifest=contrib/kubernetes/quillbarrow.yaml
breaks=(
    's/replicas: 2/replicas: two/'
    's/^        - name: quillbarrow$/        - stdin: true/'
    's/minAvailable: 1/minAvailable: [1]/'
    's/seconds: 5/seconds: five/'
)
for edit in "${breaks[@]}"; do
    sed "$edit" "$manifest" >"$work/broken.yaml"
    cmp -s "$manifest" "$work/broken.yaml" && { echo "the edit '$edit' changed nothing"; exit 1; }
    if validate "$work/broken.yaml" >"$work/broken.out"; then
        echo "a copy broken with '$edit' passed:"; cat "$work/broken.out"; exit 1
    fi
    echo "broken with '$edit': refused ($(grep -v ': valid$' "$work/broken.out" | head -n 1))"
done
