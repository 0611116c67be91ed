#!/usr/bin/env bash
# Runs client_bench inside a network namespace made for the run (loopback
# only), so that its connections use none of this machine's ports or links.
# The library's client (BM_ClientRoundTrips) and wrk (BM_WrkSameLoad) against
# the same responder alternate in ZB_ROUNDS rounds (see bench/lib.sh), which
# are printed as one table; the heap per in-flight session is measured once
# at the end. Extra arguments go to every run of the program. Any other
# benchmark program (tcp_server_bench's BM_RoundTrip) runs once, as it is.
#
# Usage (as root): bench/client_bench.sh <build>/bench/client_bench [benchmark flags]
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"

bin=${1:?usage: client_bench.sh path/to/client_bench [benchmark flags]}
shift
bin=$(readlink -f "$bin")
bench_init client_bench
[ -x "$bin" ] || bench_die "no executable $bin (build the client_bench target)"
bench_need wrk wrk
bench_need python3 python3
bench_require_quiet

ns=zelbench-$$
ip netns add "$ns"
bench_namespaces+=("$ns")
ip netns exec "$ns" ip link set lo up
if [ "$(basename "$bin")" != client_bench ]; then
  ZEL_LOG_LEVEL=${ZEL_LOG_LEVEL:-none} ip netns exec "$ns" "$bin" "$@"
  echo "load average at the end: $(bench_load)"
  exit 0
fi

run() {  # json-file filter [flags]
  local out=$1 filter=$2
  shift 2
  ZEL_LOG_LEVEL=none ip netns exec "$ns" "$bin" --benchmark_filter="$filter" \
    --benchmark_out="$out" --benchmark_out_format=json "$@" >&2
}

for ((round = 1; round <= bench_rounds; round++)); do
  bench_round "$round" >&2
  echo "$bench_round_load" >"$bench_work/load.$round"
  for which in $(bench_rotate "$round" client wrk); do
    case $which in
    client) run "$bench_work/client.$round.json" '^BM_ClientRoundTrips/' "$@" ;;
    wrk) run "$bench_work/wrk.$round.json" '^BM_WrkSameLoad/' "$@" ;;
    esac
  done
done
run "$bench_work/heap.json" '^BM_HeapPerInFlightSession' "$@"

python3 - "$bench_work" "$bench_rounds" <<'PY'
import json, sys
work, rounds = sys.argv[1], int(sys.argv[2])

def rates(path):
    found = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("error_occurred"):
            found[b["name"].split("/")[1]] = None
            continue
        found[b["name"].split("/")[1]] = (b.get("req_per_s"), b["real_time"], b["time_unit"])
    return found

print("| round (load) | in flight | client req/s | client us/request | wrk req/s | client / wrk |")
print("|---|---|---|---|---|---|")
for r in range(1, rounds + 1):
    load = open(f"{work}/load.{r}").read().strip()
    client, wrk = rates(f"{work}/client.{r}.json"), rates(f"{work}/wrk.{r}.json")
    for n in sorted(client, key=int):
        c, w = client[n], wrk.get(n)
        cr = f"{c[0]:.0f}" if c else "error"
        rt = f"{1e6 / c[0]:.0f} us" if c and c[0] else "-"
        wr = f"{w[0]:.0f}" if w else "error"
        ratio = f"{c[0] / w[0]:.2f}" if c and w and w[0] else "-"
        print(f"| {r} ({load}) | {n} | {cr} | {rt} | {wr} | {ratio} |")
for b in json.load(open(f"{work}/heap.json"))["benchmarks"]:
    if "bytes_per_session" in b:
        print(f"\nheap per in-flight session: {b['bytes_per_session']:.0f} bytes")
PY
echo "load average at the end: $(bench_load)"
