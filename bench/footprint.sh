#!/usr/bin/env bash
# What an idle, started zel-sample-device is made of: its resident memory
# split by mapping (library text and data, main heap, per-thread malloc
# arenas, thread stacks, other anonymous memory) and its threads with the
# stack each one has touched. Counts, not timings: a busy machine gives the
# same figures.
#
#   bench/footprint.sh [--libupnp] [BUILD_DIR]   (root: it makes a network namespace)
#
# --libupnp measures the reference device of the control benchmark
# (bench/libupnp_device.c on Debian's libupnp) the same way instead.
#
# The device runs alone in a namespace of its own with a veth pair whose both
# ends stay inside it; nothing is sent on this machine's interfaces. The
# namespace and the device are gone when the script exits.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
reference=
if [ "${1:-}" = "--libupnp" ]; then reference=1; shift; fi
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
if [ -n "$reference" ]; then
  "$root/scripts/deps" libupnp-dev >/dev/null
  device=$work/libupnp-device
  cc -O2 -Wall -o "$device" "$root/bench/libupnp_device.c" $(pkg-config --cflags --libs libupnp)
fi
[ -x "$device" ] || { echo "footprint: build zel-sample-device first ($device)" >&2; exit 1; }

ip netns add "$ns"
ip -n "$ns" link add "$ifc" type veth peer name zfp1
ip -n "$ns" link set lo up
ip -n "$ns" addr add 10.215.1.1/24 dev "$ifc"
ip -n "$ns" link set zfp1 up
ip -n "$ns" link set "$ifc" up
ip -n "$ns" route add 224.0.0.0/4 dev "$ifc"
for _ in $(seq 50); do
  ip -n "$ns" link show "$ifc" | grep -q 'state UP' && break
  sleep 0.1
done

# A freshly linked library still has dirty page-cache pages, which smaps
# would count as the process's dirty memory.
sync
cp -r "$root/examples/sample_device/light" "$work/light"
if [ -n "$reference" ]; then
  # libupnp wants the interface's IPv6 link-local address too, usable only
  # once duplicate address detection is over.
  for _ in $(seq 50); do
    ip -n "$ns" -6 addr show dev "$ifc" | grep 'fe80' | grep -vq tentative && break
    sleep 0.1
  done
  sed -i "s|<UDN></UDN>|<UDN>uuid:$(cat /proc/sys/kernel/random/uuid)</UDN>|" \
    "$work/light/DeviceDescription.xml"
  ip netns exec "$ns" "$device" "$ifc" 49152 "$work/light" >"$work/device.out" 2>"$work/device.err" &
  ready='^description '
else
  ip netns exec "$ns" "$device" --dir "$work/light" --interface "$ifc" --seconds 300 \
    >"$work/device.out" 2>"$work/device.err" &
  ready='^udn '
fi
pid=$!
for _ in $(seq 100); do
  grep -q "$ready" "$work/device.out" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/device.err" >&2; exit 1; }
  sleep 0.1
done
grep -q "$ready" "$work/device.out" || { echo "footprint: the device did not come up" >&2; exit 1; }

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

echo "${device##*/} pid $pid, idle: $(grep -E '^(VmSize|VmRSS|RssAnon|RssFile|Threads)' /proc/$pid/status | tr -s ' \t' ' ' | paste -sd, -)"
echo "smaps_rollup: $(grep -E '^(Pss|Shared_Clean|Private_Clean|Private_Dirty):' /proc/$pid/smaps_rollup | tr -s ' \t' ' ' | paste -sd, -)"
echo

# Each thread's stack pointer (from /proc/PID/task/TID/syscall: the thread
# sleeps in a system call) says which anonymous mapping is its stack.
for task in /proc/$pid/task/*; do
  tid=${task##*/}
  sp=$(awk '{print $(NF-1)}' "$task/syscall" 2>/dev/null || true)
  echo "$tid $(cat "$task/comm") ${sp:-0x0}"
done >"$work/threads"
cp "/proc/$pid/smaps" "$work/smaps"
# Each Asio reactor is an epoll descriptor with an eventfd and a timerfd:
# kernel memory, not part of the resident size.
echo "descriptors: $(ls -l /proc/$pid/fd | awk -F'-> ' 'NF > 1 {if ($2 !~ /^anon_inode/) sub(/:.*/, "", $2); print $2}' | sort | uniq -c | awk '{printf "%s%s %s", sep, $1, $2; sep = ", "}')"
echo

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
  /^Pss:/ { mpss[n] = $2 }
  /^Private_Dirty:/ { mdirty[n] = $2 }
  END {
    for (i = 1; i <= n; i++) {
      p = mpath[i]; cls = ""
      if (p ~ /libzel_upnp/) cls = "libzel_upnp.so (text+data)"
      else if (p ~ /libstdc\+\+/) cls = "libstdc++.so"
      else if (p ~ /libboost/) cls = "libboost_*.so"
      else if (p ~ /\/libc\.so/) cls = "libc.so"
      else if (p ~ /\/ld-linux/) cls = "ld-linux.so"
      else if (p ~ /zel-sample-device$|libupnp-device$/) cls = "the executable"
      else if (p ~ /libupnp|libixml/) cls = "libupnp.so, libixml.so"
      else if (p ~ /^\//) cls = "other shared libraries"
      else if (p == "[heap]") cls = "main arena ([heap])"
      else if (p == "[stack]") cls = "main thread stack ([stack])"
      else if (p ~ /^\[v/) cls = "vdso/vvar"
      else if (mperm[i] ~ /^rw/) {
        for (t = 1; t <= nt; t++) if (tsp[t] >= mlo[i] && tsp[t] < mhi[i]) { cls = "thread stacks"; stk[t] = mrss[i]; ssz[t] = (mhi[i] - mlo[i]) / 1024 }
        if (cls == "" && mlo[i] % arena_align == 0) { cls = "per-thread malloc arenas"; arenas++ }
        if (cls == "") cls = "other anonymous (.bss, mmapped blocks)"
      } else cls = "reserved, not accessible"
      rss[cls] += mrss[i]; pss[cls] += mpss[i]; dirty[cls] += mdirty[i]; cnt[cls]++
      if (mperm[i] ~ /x/) text[cls] += mrss[i]
      total += mrss[i]; tpss += mpss[i]; tdirty += mdirty[i]; ttext += (mperm[i] ~ /x/) ? mrss[i] : 0
    }
    printf "%-38s %5s %8s %9s %8s %8s\n", "mappings", "count", "Rss KiB", "(of it x)", "Pss KiB", "dirty KiB"
    for (c in rss) if (rss[c] > 0) printf "%-38s %5d %8d %9d %8d %8d\n", c, cnt[c], rss[c], text[c], pss[c], dirty[c] | "sort"
    close("sort")
    printf "%-38s %5s %8d %9d %8d %8d\n", "total", "", total, ttext, tpss, tdirty
    printf "\nmalloc arenas besides the main one: %d\n\n", arenas
    printf "%-8s %-16s %10s %12s\n", "tid", "thread", "stack KiB", "touched KiB"
    for (t = 1; t <= nt; t++) printf "%-8s %-16s %10s %12s\n", tid[t], tname[t], (t in ssz) ? ssz[t] : "-", (t in stk) ? stk[t] : "-"
  }' "$work/smaps"
