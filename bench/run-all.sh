#!/usr/bin/env bash
# Builds a Release tree with the benchmark targets, then runs every benchmark
# that compares the library with a peer, one after the other, each starting
# only on a quiet machine (load average under 1; see bench/lib.sh), and
# writes everything they print into one results file.
#
# Usage (as root, on a quiet machine: stop builds and other work first):
#   bench/run-all.sh [BUILD_DIR]          (default: build-bench)
#
# ZB_RESULTS names the results file (default BUILD_DIR/results-<UTC time>.txt);
# the settings of bench/lib.sh (ZB_ROUNDS, ZB_DURATION, ZB_PERF, ...) pass
# through to every script. A benchmark that fails is named at the end and
# the others still run.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1
build=${1:-build-bench}
stamp=$(date -u +%Y%m%dT%H%M%SZ)
mkdir -p "$build"
build=$(cd "$build" && pwd)
results=${ZB_RESULTS:-$build/results-$stamp.txt}
# Each benchmark leaves the load average of its own run behind; the next one
# waits for it to decay (from 3 to under 1 takes about 70 s).
export ZB_QUIET_WAIT=${ZB_QUIET_WAIT:-300}
if [ "${ZB_PERF:-0}" = 1 ]; then
  export ZB_PERF_DIR=${ZB_PERF_DIR:-$build/perf-$stamp}
fi

[ "$(id -u)" = 0 ] || { echo "run-all: needs root (network namespaces)" >&2; exit 1; }
launcher=()
command -v ccache >/dev/null &&
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEL_BUILD_BENCHMARKS=ON \
  -DZEL_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null || exit 1
ninja -C "$build" -j2 zel_upnp zel-sample-device zel-stream-server zel-stream-get \
  tcp_server_bench client_bench acl_bench || exit 1

{
  echo "# zel_upnp benchmarks, $stamp"
  echo "commit: $(git rev-parse --short HEAD 2>/dev/null)$(git diff --quiet 2>/dev/null || echo ' (with local changes)')"
  echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-), kernel $(uname -r)," \
    "autogroup $(cat /proc/sys/kernel/sched_autogroup_enabled 2>/dev/null || echo '?')"
  echo "settings: $(env | grep '^ZB_' | sort | paste -sd' ' -)"
} >"$results"

failed=()
step() {  # name command...
  local name=$1 start
  shift
  start=$(date +%s)
  { echo; echo "## $name"; echo; echo "\$ $*"; echo; } >>"$results"
  echo "run-all: $name ($*)" >&2
  if ! "$@" 2>&1 | tee -a "$results"; then
    failed+=("$name")
    echo "run-all: $name FAILED" | tee -a "$results" >&2
  fi
  echo "($name took $(($(date +%s) - start)) s)" >>"$results"
}

# acl_bench makes its own namespace; the quiet check comes from lib.sh.
acl() {
  # shellcheck source=bench/lib.sh
  (source bench/lib.sh && bench_require_quiet &&
    ZEL_LOG_LEVEL=none "$build/bench/acl_bench" --benchmark_min_time=0.3 \
      --benchmark_repetitions="${ZB_ROUNDS:-3}" --benchmark_report_aggregates_only=true)
}

step "TCP server against nginx" bench/tcp_server_bench.sh "$build/bench/tcp_server_bench"
step "Discovery against a libupnp device" bench/discovery_bench.sh "$build"
step "Control against a libupnp device" bench/control_bench.sh "$build"
step "Eventing fan-out against a libupnp device" bench/event_fanout_bench.sh "$build"
step "Streaming against nginx, iperf3 and curl" bench/streaming_bench.sh "$build"
step "Outgoing client against wrk" bench/client_bench.sh "$build/bench/client_bench"
step "Access-control decision" acl

echo >>"$results"
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}" | tee -a "$results" >&2
  echo "results: $results" >&2
  exit 1
fi
echo "all benchmarks ran; results: $results" | tee -a "$results" >&2
