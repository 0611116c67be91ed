# shellcheck shell=bash
# Shared by the benchmark scripts (sourced, bash only): the quiet-machine
# check, peers installed or a clear stop, private network namespaces,
# devices started in a session of their own, and the per-request counts read
# from /proc around a wrk run.
#
# Environment read here:
#   ZB_ROUNDS       rounds of a comparison, the peers alternated (default 3)
#   ZB_DURATION     seconds of each measured load run (default 10)
#   ZB_WARMUP       seconds of the unmeasured run before each (default 1)
#   ZB_ALLOW_LOAD=1 run on a busy machine anyway (the figures then say so)
#   ZB_QUIET_WAIT   seconds to wait for a quiet machine (default 120)
#   ZB_SAME_SESSION=1  start devices in the script's own session instead of
#                   a session of their own (the comparison without group
#                   scheduling)
#   ZB_PERF=1       profile the device during one run (perf record)
#   ZB_PERF_DIR     where the profiles go (default /tmp/zel-bench-perf)

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_rounds=${ZB_ROUNDS:-3}
bench_duration=${ZB_DURATION:-10}
bench_warmup=${ZB_WARMUP:-1}
bench_hz=$(getconf CLK_TCK)
readonly bench_quiet_load=1       # 1-minute load average under which a run may start
readonly bench_quiet_poll=5       # seconds between looks at /proc/loadavg
readonly bench_stop_polls=100     # 0.1 s polls for a process to end after SIGTERM
readonly bench_ready_polls=100    # 0.1 s polls for a server to come up
readonly bench_wrk_grace=30       # seconds wrk may overrun its duration before it is ended

bench_name=bench
bench_work=
bench_pids=()
bench_namespaces=()

bench_die() {
  echo "$bench_name: $*" >&2
  exit 1
}

# Sets the script's name (for messages), a work folder ($bench_work) and the
# exit trap that ends what the script started.
bench_init() {  # name
  bench_name=$1
  [ "$(id -u)" = 0 ] || bench_die "needs root (network namespaces)"
  bench_work=$(mktemp -d "/tmp/zel-$1.XXXXXX")
  chmod 755 "$bench_work"
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}

bench_cleanup() {
  local pid ns
  set +e
  bench_perf_stop >/dev/null 2>&1
  for pid in "${bench_pids[@]}"; do bench_stop_pid "$pid"; done
  for ns in "${bench_namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
  [ -n "$bench_work" ] && rm -rf "$bench_work"
}

# Ends one process we started: SIGTERM, a bounded wait, then SIGKILL.
bench_stop_pid() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
  for ((i = 0; i < bench_stop_polls; i++)); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; break; }
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "$bench_name: pid $pid did not end on SIGTERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  local kept=()
  for i in "${bench_pids[@]}"; do [ "$i" = "$pid" ] || kept+=("$i"); done
  bench_pids=("${kept[@]}")
}

# ---------------------------------------------------------------------------
# A quiet machine, and the load average beside every table.
# ---------------------------------------------------------------------------
bench_load() { cut -d' ' -f1-3 /proc/loadavg; }

# Waits (bounded) until the 1-minute load average is under 1; stops the
# script when it stays above, unless ZB_ALLOW_LOAD=1.
bench_require_quiet() {
  local limit=${ZB_QUIET_WAIT:-120} waited=0 load
  while :; do
    load=$(cut -d' ' -f1 /proc/loadavg)
    if awk -v l="$load" -v q="$bench_quiet_load" 'BEGIN { exit !(l < q) }'; then
      echo "quiet machine: load average $(bench_load)"
      return 0
    fi
    if [ "${ZB_ALLOW_LOAD:-0}" = 1 ]; then
      echo "load average $(bench_load): NOT a quiet machine (ZB_ALLOW_LOAD=1), figures not to be quoted"
      return 0
    fi
    [ "$waited" -ge "$limit" ] &&
      bench_die "load average $load >= $bench_quiet_load: not a quiet machine; set ZB_ALLOW_LOAD=1 to run anyway"
    [ "$waited" -eq 0 ] &&
      echo "$bench_name: waiting up to ${limit}s for the load average ($load) to fall under $bench_quiet_load" >&2
    sleep "$bench_quiet_poll"
    waited=$((waited + bench_quiet_poll))
  done
}

# Printed at the start of every round; the 1-minute figure goes into the
# round column of the tables ($bench_round_load).
bench_round() {  # round
  bench_round_load=$(cut -d' ' -f1 /proc/loadavg)
  echo "round $1 of $bench_rounds: load average $(bench_load)"
}

# The peers of round R in alternating order: round 1 as given, round 2
# starting with the second, and so on.
bench_rotate() {  # round peer...
  local r=$1 n i
  shift
  n=$#
  local peers=("$@")
  for ((i = 0; i < n; i++)); do echo "${peers[$(((i + r - 1) % n))]}"; done
}

# The median of the numbers on stdin (the lower middle for an even count).
bench_median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "-" }'; }

# ---------------------------------------------------------------------------
# Peers: installed, or a clear stop. No benchmark runs without its peer.
# ---------------------------------------------------------------------------
bench_need() {  # debian-package command-or-file
  local pkg=$1 what=$2
  bench_have "$what" && return 0
  echo "$bench_name: installing $pkg (for $what)" >&2
  "$bench_root/scripts/deps" "$pkg" >&2 || true
  bench_have "$what" ||
    bench_die "peer $what (Debian package $pkg) is missing and could not be installed; this benchmark does not run without it"
}
bench_have() {
  case $1 in
  */*) [ -e "$1" ] ;;
  *) command -v "$1" >/dev/null 2>&1 ;;
  esac
}

# ---------------------------------------------------------------------------
# Two private network namespaces joined by a veth pair whose both ends are
# created inside them: nothing reaches this machine's own interfaces. Both
# go on exit.
# ---------------------------------------------------------------------------
bench_netns_pair() {  # dev-ns peer-ns dev-if peer-if dev-ip peer-ip [multicast]
  local a_ns=$1 b_ns=$2 a_if=$3 b_if=$4 a_ip=$5 b_ip=$6 mcast=${7:-}
  local ns
  for ns in "$a_ns" "$b_ns"; do
    ip netns add "$ns"
    bench_namespaces+=("$ns")
    # No duplicate address detection on the links made next: a link-local
    # address stays tentative (not bindable) for a second or two otherwise,
    # and a device started at once fails to bind it (libupnp does).
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.accept_dad=0 2>/dev/null || true
    # A load generator opening one connection per request and closing first
    # keeps each in TIME_WAIT for a minute and runs out of ephemeral ports
    # after some 28000 connections; every later connect stalls in the port
    # search and the figure measures the client. Reusing TIME_WAIT ports for
    # outgoing connections keeps the client out of it, for every peer alike.
    ip netns exec "$ns" sysctl -qw net.ipv4.tcp_tw_reuse=1
  done
  ip -n "$a_ns" link add "$a_if" type veth peer name "$b_if" netns "$b_ns"
  local def ifc ip
  for def in "$a_ns:$a_if:$a_ip" "$b_ns:$b_if:$b_ip"; do
    IFS=: read -r ns ifc ip <<<"$def"
    ip -n "$ns" link set lo up
    ip -n "$ns" addr add "$ip/24" dev "$ifc"
    ip -n "$ns" link set "$ifc" up
    [ -z "$mcast" ] || ip -n "$ns" route add 224.0.0.0/4 dev "$ifc"
  done
}

# ---------------------------------------------------------------------------
# Devices and servers run in a session of their own, as a daemon is started
# (with autogroup scheduling, a session is one scheduling group), while the
# load generator stays in the script's session. ZB_SAME_SESSION=1 keeps them
# in the script's session for the comparison.
# ---------------------------------------------------------------------------
bench_session_mode() {
  if [ "${ZB_SAME_SESSION:-0}" = 1 ]; then
    echo "same session as the load generator (ZB_SAME_SESSION=1)"
  else
    echo "own session (setsid), load generator in another"
  fi
}

# Starts COMMAND in namespace NS in the background; its pid is left in
# $bench_pid. The script's background jobs are not process group leaders,
# so setsid and ip execute in place and the pid is the program's own.
bench_daemon() {  # ns stdout-file stderr-file command...
  local ns=$1 out=$2 err=$3
  shift 3
  # Emptied here, not by the background job's redirection, so that a wait
  # for the program's first line cannot read the previous run's.
  [ "$out" = /dev/null ] || : >"$out"
  [ "$err" = /dev/null ] || : >"$err"
  if [ "${ZB_SAME_SESSION:-0}" = 1 ]; then
    ip netns exec "$ns" "$@" </dev/null >"$out" 2>"$err" &
  else
    ip netns exec "$ns" setsid "$@" </dev/null >"$out" 2>"$err" &
  fi
  bench_pid=$!
  bench_pids+=("$bench_pid")
}

# Once a started program is up: its pid runs the program, and in a session
# of its own unless ZB_SAME_SESSION=1.
bench_check_daemon() {  # pid program
  local pid=$1 prog sid
  prog=$(readlink -f "$(command -v "$2")")
  [ "$(readlink -f "/proc/$pid/exe")" = "$prog" ] || bench_die "pid $pid is not $prog"
  sid=$(awk '{ sub(/.*\) /, ""); print $4 }' "/proc/$pid/stat")
  if [ "${ZB_SAME_SESSION:-0}" = 1 ]; then
    [ "$sid" != "$pid" ] || bench_die "pid $pid leads a session of its own"
  else
    [ "$sid" = "$pid" ] || bench_die "pid $pid is not in a session of its own (session $sid)"
  fi
}

# Waits for a line matching PATTERN in FILE while PID lives.
bench_wait_line() {  # file pattern pid
  local i
  for ((i = 0; i < bench_ready_polls; i++)); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.1
  done
  echo "$bench_name: no '$2' from pid $3" >&2
  cat "$1" >&2
  return 1
}

# Waits until URL answers from namespace NS.
bench_wait_http() {  # ns url
  local i
  for ((i = 0; i < bench_ready_polls; i++)); do
    ip netns exec "$1" curl -s -o /dev/null --max-time 1 "$2" && return 0
    sleep 0.1
  done
  echo "$bench_name: nothing answers $2" >&2
  return 1
}

bench_idle() {  # pid -> "RSS kB, threads"
  awk '/^VmRSS/ { r = $2 } /^Threads/ { t = $2 } END { printf "%s kB, %s threads", r, t }' "/proc/$1/status"
}

# ---------------------------------------------------------------------------
# Per-request counts: context switches summed over the process's threads
# (/proc/PID/task/*/status) and CPU time (utime + stime of /proc/PID/stat,
# which keeps the time of threads that ended), before and after a run.
# ---------------------------------------------------------------------------
bench_snapshot() {  # pid -> lines "TID switches", then "cpu TICKS"
  local t
  for t in /proc/"$1"/task/*; do
    awk -v tid="${t##*/}" '/^(non)?voluntary_ctxt_switches/ { s += $2 } END { if (NR) print tid, s }' \
      "$t/status" 2>/dev/null || true
  done
  awk '{ sub(/.*\) /, ""); print "cpu", $12 + $13 }' "/proc/$1/stat"
}

# Prints "switches-per-request cpu-us-per-request threads-gone"; a thread
# that ended during the run took its switches with it (threads-gone > 0).
bench_per_request() {  # before-file after-file requests
  awk -v n="$3" -v hz="$bench_hz" '
    FNR == NR { b[$1] = $2; next }
    $1 == "cpu" { cpu = $2 - b["cpu"]; next }
    { cs += $2 - (($1 in b) ? b[$1] : 0); seen[$1] = 1 }
    END {
      for (t in b) if (t != "cpu" && !(t in seen)) gone++
      if (n > 0) printf "%.2f %.1f %d\n", cs / n, cpu * 1e6 / hz / n, gone
      else printf "- - %d\n", gone
    }' "$1" "$2"
}

# ---------------------------------------------------------------------------
# wrk from the peer namespace, and what its report says.
# ---------------------------------------------------------------------------
bench_wrk() {  # ns seconds connections wrk-args... (the URL last)
  local ns=$1 seconds=$2 c=$3 threads=$3
  shift 3
  [ "$threads" -le 2 ] || threads=2
  ip netns exec "$ns" timeout $((seconds + bench_wrk_grace)) \
    wrk -t"$threads" -c"$c" -d"${seconds}s" --latency "$@"
}
bench_wrk_rps() { awk '$1 == "Requests/sec:" { print $2; exit }' "$1"; }
bench_wrk_requests() { awk '/ requests in / { print $1; exit }' "$1"; }
bench_wrk_ms() {  # file percentile(50|99) -> milliseconds
  awk -v p="$2%" '$1 == p {
    v = $2; u = v; sub(/[a-z]+$/, "", v); sub(/^[0-9.]+/, "", u)
    if (u == "us") v /= 1000; else if (u == "s") v *= 1000; else if (u == "m") v *= 60000
    printf "%.3f", v; exit }' "$1"
}
bench_wrk_errors() { grep -E 'Socket errors|Non-2xx' "$1" | tr -s ' ' | sed 's/^ //' | paste -sd';' - || true; }

# One measured wrk run against a device: an unmeasured warm-up, then the
# run with the device's per-request counts around it. Appends a table row
# to $bench_work/wrk.rows and the req/s to $bench_work/rps.DEVICE.CONNS.
bench_wrk_row() {  # round device-label pid ns connections wrk-args... (URL last)
  local round=$1 label=$2 pid=$3 ns=$4 c=$5 out=$bench_work/wrk.out
  shift 5
  bench_wrk "$ns" "$bench_warmup" "$c" "$@" >/dev/null 2>&1 || true
  bench_snapshot "$pid" >"$bench_work/before"
  [ "$round" != 1 ] || [ "$c" != 4 ] || bench_perf_start "$pid" "$label-c$c"
  bench_wrk "$ns" "$bench_duration" "$c" "$@" >"$out" 2>&1 || true
  bench_snapshot "$pid" >"$bench_work/after"
  bench_perf_stop
  local rps requests cs cpu gone errors
  rps=$(bench_wrk_rps "$out")
  [ -n "$rps" ] || { cat "$out" >&2; bench_die "wrk printed no Requests/sec against $label"; }
  requests=$(bench_wrk_requests "$out")
  read -r cs cpu gone < <(bench_per_request "$bench_work/before" "$bench_work/after" "$requests")
  errors=$(bench_wrk_errors "$out")
  [ "$gone" = 0 ] || errors="${errors:+$errors; }$gone thread(s) ended during the run"
  printf '| %s (%s) | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$round" "$bench_round_load" "$label" "$c" \
    "$rps" "$(bench_wrk_ms "$out" 50)" "$(bench_wrk_ms "$out" 99)" "$cs" "$cpu" "${errors:--}" \
    >>"$bench_work/wrk.rows"
  echo "$rps" >>"$bench_work/rps.${label// /_}.$c"
}

# The wrk table, then per connection count the ratio A/B of each round and
# their median.
bench_wrk_report() {  # label-a label-b
  local a=${1// /_} b=${2// /_} c
  echo "| round (load) | device | conns | req/s | p50 ms | p99 ms | switches/req | CPU us/req | errors |"
  echo "|---|---|---|---|---|---|---|---|---|"
  cat "$bench_work/wrk.rows"
  echo
  echo "| conns | $1 / $2 req/s, by round | median |"
  echo "|---|---|---|"
  for c in 1 4; do
    if [ ! -f "$bench_work/rps.$a.$c" ] || [ ! -f "$bench_work/rps.$b.$c" ]; then continue; fi
    paste -d' ' "$bench_work/rps.$a.$c" "$bench_work/rps.$b.$c" |
      awk '{ printf "%.2f\n", $1 / $2 }' >"$bench_work/ratio.$c"
    echo "| $c | $(paste -sd' ' "$bench_work/ratio.$c") | $(bench_median <"$bench_work/ratio.$c") |"
  done
}

# ---------------------------------------------------------------------------
# ZB_PERF=1: perf record of the device during one run (round 1, 4
# connections); the report's top lines go into a file named in the output.
# ---------------------------------------------------------------------------
bench_perf_pid=
bench_perf_start() {  # pid label
  [ "${ZB_PERF:-0}" = 1 ] || return 0
  bench_need linux-perf perf
  local dir=${ZB_PERF_DIR:-/tmp/zel-bench-perf}
  mkdir -p "$dir"
  bench_perf_data=$dir/$bench_name-${2// /_}.data
  perf record -q -e cpu-clock -g -p "$1" -o "$bench_perf_data" >/dev/null 2>&1 &
  bench_perf_pid=$!
}
bench_perf_stop() {
  [ -n "$bench_perf_pid" ] || return 0
  kill -INT "$bench_perf_pid" 2>/dev/null || true
  wait "$bench_perf_pid" 2>/dev/null || true
  bench_perf_pid=
  local report=${bench_perf_data%.data}.txt
  perf report -i "$bench_perf_data" --stdio --no-children 2>/dev/null | head -60 >"$report" || true
  echo "perf profile: $report (data: $bench_perf_data)"
}

# ---------------------------------------------------------------------------
# The device comparisons (discovery, control): zel-sample-device against the
# reference device on Debian's libupnp (bench/libupnp_device.c), each on its
# own copy of the shipped light folder.
# ---------------------------------------------------------------------------
bench_reference_devices() {  # build-dir
  bench_need libupnp-dev /usr/include/upnp/upnp.h
  cmake --build "$1" --target zel-sample-device >/dev/null
  # shellcheck disable=SC2046  # pkg-config prints several words
  cc -O2 -Wall -o "$bench_work/libupnp-device" "$bench_root/bench/libupnp_device.c" \
    $(pkg-config --cflags --libs libupnp)
  # shellcheck disable=SC2034  # read by the scripts
  bench_upnp_label="libupnp $(pkg-config --modversion libupnp)"
  cp -r "$bench_root/examples/sample_device/light" "$bench_work/zel"
  cp -r "$bench_root/examples/sample_device/light" "$bench_work/upnp"
  sed -i "s|<UDN></UDN>|<UDN>uuid:$(cat /proc/sys/kernel/random/uuid)</UDN>|" \
    "$bench_work/upnp/DeviceDescription.xml"
}

# Starts the libupnp device; its pid is left in $bench_pid.
bench_start_libupnp_device() {  # ns interface port
  bench_daemon "$1" "$bench_work/upnp.out" "$bench_work/upnp.err" \
    "$bench_work/libupnp-device" "$2" "$3" "$bench_work/upnp"
  bench_wait_line "$bench_work/upnp.out" '^description ' "$bench_pid"
  bench_check_daemon "$bench_pid" "$bench_work/libupnp-device"
}

# Runs "FUNCTION ROUND PEER" for every round and every peer, the peers in
# the order of bench_rotate, the round's load average printed first.
bench_alternate() {  # function peer...
  local fn=$1 round peer
  shift
  for ((round = 1; round <= bench_rounds; round++)); do
    bench_round "$round"
    for peer in $(bench_rotate "$round" "$@"); do
      "$fn" "$round" "$peer"
    done
  done
}
