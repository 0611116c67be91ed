#!/usr/bin/env bash
# What an idle, started zel-sample-device is made of: its resident memory
# split by mapping (library text and data, main heap, per-thread malloc
# arenas, thread stacks, other anonymous memory) and its threads with the
# stack each one has touched. Counts, not timings: a busy machine gives the
# same figures.
#
#   bench/footprint.sh [BUILD_DIR]        (root: it makes a network namespace)
#
# The device runs alone in a namespace of its own with a veth pair whose both
# ends stay inside it; nothing is sent on this machine's interfaces. The
# namespace and the device are gone when the script exits.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
device=$build/bin/zel-sample-device
ns=zfootprint-$$
ifc=zfp0
work=$(mktemp -d /tmp/zel-footprint.XXXXXX)
pid=

cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

[ "$(id -u)" -eq 0 ] || { echo "footprint: needs root (network namespace)" >&2; exit 1; }
[ -x "$device" ] || { echo "footprint: build zel-sample-device first ($device)" >&2; exit 1; }

ip netns add "$ns"
ip -n "$ns" link add "$ifc" type veth peer name zfp1
ip -n "$ns" link set lo up
ip -n "$ns" addr add 10.215.1.1/24 dev "$ifc"
ip -n "$ns" link set zfp1 up
ip -n "$ns" link set "$ifc" up
ip -n "$ns" route add 224.0.0.0/4 dev "$ifc"

cp -r "$root/examples/sample_device/light" "$work/light"
ip netns exec "$ns" "$device" --dir "$work/light" --interface "$ifc" --seconds 300 \
  >"$work/device.out" 2>"$work/device.err" &
pid=$!
for _ in $(seq 100); do
  grep -q '^udn ' "$work/device.out" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/device.err" >&2; exit 1; }
  sleep 0.1
done
grep -q '^udn ' "$work/device.out" || { echo "footprint: the device did not come up" >&2; exit 1; }

# Idle: the start-up announcements are out and neither the thread count nor
# the resident size has moved for two seconds (at most 30 s of waiting).
sample() { echo "$(ls /proc/$pid/task | wc -l) $(awk '/^VmRSS/{print $2}' /proc/$pid/status)"; }
last=$(sample)
steady=0
for _ in $(seq 60); do
  sleep 0.5
  now=$(sample)
  if [ "$now" = "$last" ]; then steady=$((steady + 1)); else steady=0; fi
  last=$now
  [ "$steady" -ge 4 ] && break
done

echo "zel-sample-device pid $pid, idle: $(grep -E '^(VmRSS|RssAnon|RssFile|Threads)' /proc/$pid/status | tr -s ' \t' ' ' | paste -sd, -)"
echo

# Each thread's stack pointer (from /proc/PID/task/TID/syscall: the thread
# sleeps in a system call) says which anonymous mapping is its stack.
for task in /proc/$pid/task/*; do
  tid=${task##*/}
  sp=$(awk '{print $(NF-1)}' "$task/syscall" 2>/dev/null || true)
  echo "$tid $(cat "$task/comm") ${sp:-0x0}"
done >"$work/threads"
cp "/proc/$pid/smaps" "$work/smaps"

# glibc reserves 64 MiB, aligned on 64 MiB, for each further malloc arena;
# the touched part is its read-write head, the rest is PROT_NONE.
awk -v threads="$work/threads" '
  function hex(s,   n, i, c) { n = 0; s = tolower(s); sub(/^0x/, "", s)
    for (i = 1; i <= length(s); i++) { c = index("0123456789abcdef", substr(s, i, 1)) - 1; n = n * 16 + c }
    return n }
  BEGIN {
    while ((getline line < threads) > 0) { split(line, f, " "); nt++; tid[nt] = f[1]; tname[nt] = f[2]; tsp[nt] = hex(f[3]) }
    arena_align = 64 * 1024 * 1024
  }
  /^[0-9a-f]+-[0-9a-f]+ / {
    split($1, r, "-"); lo = hex(r[1]); hi = hex(r[2]); perm = $2; path = $6
    n++; mlo[n] = lo; mhi[n] = hi; mperm[n] = perm; mpath[n] = path; next
  }
  /^Rss:/ { mrss[n] = $2 }
  END {
    for (i = 1; i <= n; i++) {
      p = mpath[i]; cls = ""
      if (p ~ /libzel_upnp/) cls = "libzel_upnp.so (text+data)"
      else if (p ~ /libstdc\+\+/) cls = "libstdc++.so"
      else if (p ~ /libboost/) cls = "libboost_*.so"
      else if (p ~ /\/libc\.so/) cls = "libc.so"
      else if (p ~ /\/ld-linux/) cls = "ld-linux.so"
      else if (p ~ /zel-sample-device/) cls = "zel-sample-device (executable)"
      else if (p ~ /^\//) cls = "other shared libraries"
      else if (p == "[heap]") cls = "main arena ([heap])"
      else if (p == "[stack]") cls = "main thread stack ([stack])"
      else if (p ~ /^\[v/) cls = "vdso/vvar"
      else if (mperm[i] ~ /^rw/) {
        for (t = 1; t <= nt; t++) if (tsp[t] >= mlo[i] && tsp[t] < mhi[i]) { cls = "thread stacks"; stk[t] = mrss[i]; ssz[t] = (mhi[i] - mlo[i]) / 1024 }
        if (cls == "" && mlo[i] % arena_align == 0) { cls = "per-thread malloc arenas"; arenas++ }
        if (cls == "") cls = "other anonymous (mmapped blocks)"
      } else cls = "reserved, not accessible"
      rss[cls] += mrss[i]; total += mrss[i]; cnt[cls]++
    }
    printf "%-40s %8s %9s\n", "mappings", "count", "Rss KiB"
    for (c in rss) if (rss[c] > 0) printf "%-40s %8d %9d\n", c, cnt[c], rss[c] | "sort -k1,1 -t\"|\""
    close("sort -k1,1 -t\"|\"")
    printf "%-40s %8s %9d\n", "total", "", total
    printf "\nmalloc arenas besides the main one: %d\n\n", arenas
    printf "%-8s %-16s %10s %12s\n", "tid", "thread", "stack KiB", "touched KiB"
    for (t = 1; t <= nt; t++) printf "%-8s %-16s %10s %12s\n", tid[t], tname[t], (t in ssz) ? ssz[t] : "-", (t in stk) ? stk[t] : "-"
  }' "$work/smaps"
