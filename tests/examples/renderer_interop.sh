#!/usr/bin/env bash
# The media renderer driven by the npm casting library upnp-mediarenderer-client
# (installed once into MODULES_DIR) from a peer namespace: every step of
# renderer_interop.js. Skipped, saying why, without node or npm, or when the
# package cannot be installed.
# Usage: renderer_interop.sh RENDERER_BINARY FOLDER MODULES_DIR
set -uo pipefail
here=$(dirname "$0")
modules=$3
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "skipped: node and npm are needed (scripts/deps installs them)"; exit 77
fi
if [ ! -f "$modules/node_modules/upnp-mediarenderer-client/package.json" ]; then
  mkdir -p "$modules"
  # The registry outside the namespaces; a bounded wait.
  timeout 300 npm install --prefix "$modules" --no-audit --no-fund --no-save \
    upnp-mediarenderer-client@1.4.0 >"$modules/install.log" 2>&1 ||
    { echo "skipped: npm install failed:"; tail -5 "$modules/install.log"; exit 77; }
fi
subnet=${ZEL_EXAMPLE_SUBNET:-5}
. "$here/pair.sh"
cp -r "$2" "$work/renderer"
ip netns exec "$dev_ns" "$1" "$work/renderer" "$dev_if" >"$work/renderer.log" 2>&1 &
pids+=($!)
wait_http "http://$dev_ip:49152/description.xml" || fail "no description served"
in_peer node "$here/renderer_interop.js" "$modules" "$peer_ip" || fail "interop steps"
stop_ok "${pids[0]}" zel-media-renderer
echo "renderer_interop: ok"
