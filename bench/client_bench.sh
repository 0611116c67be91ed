#!/bin/sh
# Runs client_bench inside a network namespace made for the run (loopback
# only), so that its connections use none of this machine's ports or links.
# Usage: bench/client_bench.sh <build>/bench/client_bench [benchmark flags]
set -eu
bin=${1:?usage: client_bench.sh path/to/client_bench [benchmark flags]}
shift
ns=zelbench-$$
ip netns add "$ns"
trap 'ip netns del "$ns"' EXIT
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" "$bin" "$@"
