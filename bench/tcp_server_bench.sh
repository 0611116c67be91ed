#!/bin/bash
# The library's TCP server against nginx on one 3 KB response, and the
# library's idle footprint.
#
# Usage (as root): bench/tcp_server_bench.sh [path/to/tcp_server_bench]
#   (default: build-bench/bench/tcp_server_bench)
#
# Everything runs in two network namespaces made for the run: the device
# (both servers, on one address, different ports) and the peer (wrk), joined
# by a veth pair on a private subnet. Both veth ends are created inside the
# namespaces, so no packet reaches this machine's own interfaces. The
# namespaces, the servers and the temporary directory go on exit. Both
# servers run in a session of their own (setsid), as a daemon is, and wrk in
# the script's session.
#
# Environment: ZB_DURATION (seconds of each measured wrk run, default 10),
# ZB_WARMUP (seconds of the unmeasured run before each, default 2),
# ZB_ROUNDS (rounds of one run per server, alternated, default 3), and the
# quiet-machine settings of bench/lib.sh (ZB_ALLOW_LOAD, ZB_SAME_SESSION).
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"

bin=${1:-build-bench/bench/tcp_server_bench}
duration=$bench_duration
warmup=${ZB_WARMUP:-2}
rounds=$bench_rounds

readonly dev_ns=zb-dev-$$
readonly peer_ns=zb-peer-$$
readonly dev_if=zbd0
readonly peer_if=zbp0
readonly dev_ip=10.214.0.1
readonly peer_ip=10.214.0.2
readonly zel_port=49200
readonly nginx_port=49201
readonly idle_port=49300
readonly idle_udp_port=49301
readonly ssdp_port=1900
readonly body_size=3072
readonly wrk_threads=2
readonly wrk_connections=4
readonly nginx_workers=2
readonly ready_polls=100   # polls of 0.1 s for a server to come up
readonly settle_seconds=1  # idle process before its footprint is read

die() { bench_die "$@"; }

bench_init tcp_server_bench
[ -x "$bin" ] || die "no executable $bin (build the tcp_server_bench target)"
bin=$(readlink -f "$bin")
bench_need nginx-light nginx
bench_need wrk wrk
bench_need curl curl
tmp=$bench_work

in_dev() { ip netns exec "$dev_ns" "$@"; }
in_peer() { ip netns exec "$peer_ns" "$@"; }

# ---------------------------------------------------------------------------
# Namespaces: device 10.214.0.1 <-> peer 10.214.0.2, loopback up in both.
# ---------------------------------------------------------------------------
bench_require_quiet
bench_netns_pair "$dev_ns" "$peer_ns" "$dev_if" "$peer_if" "$dev_ip" "$peer_ip"
# Both namespaces reuse TIME_WAIT ports for outgoing connections (lib.sh).

# Waits until a TCP or UDP port listens in the device namespace.
wait_listening() {
    local proto=$1 port=$2 i
    for ((i = 0; i < ready_polls; i++)); do
        in_dev ss -Hln"$proto" "sport = :$port" | grep -q . && return 0
        sleep 0.1
    done
    return 1
}

# Waits for "ready PORT" on a server's stdout; prints the port.
wait_ready() {
    local out=$1 pid=$2 i
    for ((i = 0; i < ready_polls; i++)); do
        if grep -q '^ready ' "$out" 2>/dev/null; then
            awk '/^ready /{print $2; exit}' "$out"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# ---------------------------------------------------------------------------
# Both servers, serving the same bytes.
# ---------------------------------------------------------------------------
mkdir -p "$tmp/www" "$tmp/logs" "$tmp/temp"
"$bin" --print-body >"$tmp/www/index.html"
[ "$(stat -c %s "$tmp/www/index.html")" = "$body_size" ] || die "body is not $body_size bytes"
chmod 755 "$tmp" "$tmp/www"
chmod 644 "$tmp/www/index.html"

# ip, setsid and env execute in place, so the pid is the server itself.
bench_daemon "$dev_ns" "$tmp/zel.out" "$tmp/zel.err" env ZEL_LOG_LEVEL=none "$bin" --serve "$zel_port" "$dev_ip"
zel_pid=$bench_pid
zel_bound=$(wait_ready "$tmp/zel.out" "$zel_pid") || { cat "$tmp/zel.err" >&2; die "our server did not start"; }
[ "$zel_bound" = "$zel_port" ] || die "our server bound port $zel_bound, not $zel_port"
bench_check_daemon "$zel_pid" "$bin"

cat >"$tmp/nginx.conf" <<EOF
worker_processes $nginx_workers;
daemon off;
user nobody nogroup;
pid $tmp/nginx.pid;
error_log $tmp/logs/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path $tmp/temp/body;
    proxy_temp_path $tmp/temp/proxy;
    fastcgi_temp_path $tmp/temp/fastcgi;
    uwsgi_temp_path $tmp/temp/uwsgi;
    scgi_temp_path $tmp/temp/scgi;
    default_type application/octet-stream;
    server {
        listen $dev_ip:$nginx_port;
        root $tmp/www;
        location / { index index.html; }
    }
}
EOF
bench_daemon "$dev_ns" /dev/null "$tmp/nginx.err" nginx -p "$tmp" -c "$tmp/nginx.conf"
nginx_pid=$bench_pid
wait_listening t "$nginx_port" || { cat "$tmp/nginx.err" "$tmp/logs/error.log" >&2 2>/dev/null; die "nginx did not start"; }
bench_check_daemon "$nginx_pid" nginx

# Both answer with the same body before anything is measured.
for port in "$zel_port" "$nginx_port"; do
    in_peer curl -s --max-time 5 -H 'Connection: close' -o "$tmp/fetched" "http://$dev_ip:$port/" ||
        die "no answer on port $port"
    cmp -s "$tmp/fetched" "$tmp/www/index.html" || die "port $port answered another body"
done

# ---------------------------------------------------------------------------
# Load: the same wrk command against each, one after the other.
# ---------------------------------------------------------------------------
run_wrk() {
    local port=$1 seconds=$2
    in_peer timeout $((seconds + 30)) wrk -t"$wrk_threads" -c"$wrk_connections" -d"${seconds}s" \
        --latency -H 'Connection: close' "http://$dev_ip:$port/"
}

# p99 of a wrk report, in milliseconds.
p99_ms() {
    awk '$1 == "99%" {
        v = $2; u = v; sub(/[a-z]+$/, "", v); sub(/^[0-9.]+/, "", u)
        if (u == "us") v /= 1000; else if (u == "s") v *= 1000; else if (u == "m") v *= 60000
        printf "%.3f", v; exit }' "$1"
}
rps() { awk '$1 == "Requests/sec:" { print $2; exit }' "$1"; }
# Socket errors and non-2xx answers, when wrk saw any.
errors() { grep -E 'Socket errors|Non-2xx' "$1" | tr -s ' ' | paste -sd';' - || true; }

# Rounds alternate the two servers, so that a change in the machine's load
# (it is shared) hits both alike; the median ratio is the figure to quote.
echo "== wrk -t$wrk_threads -c$wrk_connections -d${duration}s --latency -H 'Connection: close'," \
    "$body_size-byte body, $rounds round(s); servers: $(bench_session_mode)"
rows=()
ratios=()
for ((round = 1; round <= rounds; round++)); do
    bench_round "$round"
    for name in $(bench_rotate "$round" zel nginx); do
        port=$zel_port
        [ "$name" = nginx ] && port=$nginx_port
        run_wrk "$port" "$warmup" >/dev/null
        run_wrk "$port" "$duration" >"$tmp/wrk-$name-$round.txt"
        [ -n "$(rps "$tmp/wrk-$name-$round.txt")" ] || { cat "$tmp/wrk-$name-$round.txt" >&2; die "wrk printed no Requests/sec"; }
    done
    z=$tmp/wrk-zel-$round.txt
    n=$tmp/wrk-nginx-$round.txt
    ratio=$(awk -v a="$(rps "$z")" -v b="$(rps "$n")" 'BEGIN { printf "%.2f", a / b }')
    ratios+=("$ratio")
    e=
    for f in "$z" "$n"; do
        [ -z "$(errors "$f")" ] || e="${e:+$e; }$(basename "$f" .txt): $(errors "$f")"
    done
    rows+=("| $round ($bench_round_load) | $(rps "$z") | $(p99_ms "$z") | $(rps "$n") | $(p99_ms "$n") | $ratio | ${e:--} |")
done
echo
echo "| round (load) | zel req/s | zel p99 ms | nginx req/s | nginx p99 ms | ratio | errors |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
echo "median ratio zel_upnp/nginx requests/s: $median (load average after: $(cut -d' ' -f1-3 /proc/loadavg))"
echo "-- full wrk report of round 1, zel_upnp:"
cat "$tmp/wrk-zel-1.txt"
echo "-- full wrk report of round 1, nginx:"
cat "$tmp/wrk-nginx-1.txt"

bench_stop_pid "$zel_pid"
bench_stop_pid "$nginx_pid"
grep -q '^terminated' "$tmp/zel.err" || echo "warning: our server did not report a clean termination" >&2

# ---------------------------------------------------------------------------
# Idle footprint: one TCP, one UDP and one multicast server, nothing else.
# ---------------------------------------------------------------------------
bench_daemon "$dev_ns" "$tmp/idle.out" "$tmp/idle.err" env ZEL_LOG_LEVEL=none "$bin" --idle "$idle_port" "$dev_ip"
idle_pid=$bench_pid
wait_ready "$tmp/idle.out" "$idle_pid" >/dev/null || { cat "$tmp/idle.err" >&2; die "the idle bring-up did not start"; }
bench_check_daemon "$idle_pid" "$bin"
wait_listening t "$idle_port" || die "no TCP server on $idle_port"
wait_listening u "$idle_udp_port" || die "no UDP server on $idle_udp_port"
wait_listening u "$ssdp_port" || die "no multicast server on $ssdp_port"
sleep "$settle_seconds"
echo
echo "== idle footprint (TCP :$idle_port, UDP :$idle_udp_port, multicast 239.255.255.250:$ssdp_port)"
grep -E '^(VmRSS|VmHWM|Threads):' "/proc/$idle_pid/status"
echo "threads by name:"
cat /proc/"$idle_pid"/task/*/comm | sed 's/[0-9]*$//' | sort | uniq -c | sed 's/^/  /'
