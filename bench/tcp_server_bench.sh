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
# namespaces, the servers and the temporary directory go on exit.
#
# Environment: ZB_DURATION (seconds of each measured wrk run, default 10),
# ZB_WARMUP (seconds of the unmeasured run before each, default 2),
# ZB_ROUNDS (rounds of one run per server, default 3).
set -euo pipefail

bin=${1:-build-bench/bench/tcp_server_bench}
duration=${ZB_DURATION:-10}
warmup=${ZB_WARMUP:-2}
rounds=${ZB_ROUNDS:-3}

readonly dev_ns=zb-dev-$$
readonly peer_ns=zb-peer-$$
readonly dev_if=zbd0
readonly peer_if=zbp0
readonly dev_ip=10.214.0.1
readonly peer_ip=10.214.0.2
readonly prefix_len=24
readonly zel_port=49200
readonly nginx_port=49201
readonly idle_port=49300
readonly idle_udp_port=49301
readonly ssdp_port=1900
readonly body_size=3072
readonly wrk_threads=2
readonly wrk_connections=4
readonly nginx_workers=2
# Bounded waits: polls of 0.1 s.
readonly ready_polls=100   # a server comes up
readonly stop_polls=100    # a server ends after SIGTERM
readonly settle_seconds=1  # idle process before its footprint is read

die() { echo "tcp_server_bench: $*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || die "needs root (network namespaces)"
[ -x "$bin" ] || die "no executable $bin (build the tcp_server_bench target)"
bin=$(readlink -f "$bin")

if ! command -v nginx >/dev/null || ! command -v wrk >/dev/null; then
    echo "installing nginx-light and wrk" >&2
    apt-get install -y nginx-light wrk >/dev/null || { apt-get update >/dev/null && apt-get install -y nginx-light wrk >/dev/null; }
fi
command -v nginx >/dev/null || die "nginx is not available"
command -v wrk >/dev/null || die "wrk is not available"

tmp=$(mktemp -d /tmp/zb-XXXXXX)
pids=()
namespaces=()

# Ends one process we started: SIGTERM, a bounded wait, then SIGKILL.
stop_pid() {
    local pid=$1 i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < stop_polls; i++)); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
        sleep 0.1
    done
    echo "pid $pid did not end on SIGTERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    local pid ns
    set +e
    for pid in "${pids[@]}"; do stop_pid "$pid"; done
    for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

in_dev() { ip netns exec "$dev_ns" "$@"; }
in_peer() { ip netns exec "$peer_ns" "$@"; }

# ---------------------------------------------------------------------------
# Namespaces: device 10.214.0.1 <-> peer 10.214.0.2, loopback up in both.
# ---------------------------------------------------------------------------
ip netns add "$dev_ns"
namespaces+=("$dev_ns")
ip netns add "$peer_ns"
namespaces+=("$peer_ns")
in_dev ip link add "$dev_if" type veth peer name "$peer_if" netns "$peer_ns"
in_dev ip link set lo up
in_peer ip link set lo up
in_dev ip addr add "$dev_ip/$prefix_len" dev "$dev_if"
in_peer ip addr add "$peer_ip/$prefix_len" dev "$peer_if"
in_dev ip link set "$dev_if" up
in_peer ip link set "$peer_if" up
# Whichever side closes first keeps the connection in TIME_WAIT for a
# minute. Where that is the client (it closes as soon as the response is
# complete, and our server closes from its write completion, a thread hop
# later), wrk would run out of ephemeral ports to the port under test after
# some 28000 connections, and every later connect stalls in the kernel's
# port search: the figure would measure the client. Reuse of TIME_WAIT ports
# for outgoing connections, in the peer namespace only, keeps the client out
# of the measurement for both servers alike.
in_peer sysctl -qw net.ipv4.tcp_tw_reuse=1

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

# Started with ip netns exec directly (not through a function), so that $!
# is the server itself: ip execs the program in place.
ZEL_LOG_LEVEL=none ip netns exec "$dev_ns" "$bin" --serve "$zel_port" "$dev_ip" \
    </dev/null >"$tmp/zel.out" 2>"$tmp/zel.err" &
zel_pid=$!
pids+=("$zel_pid")
zel_bound=$(wait_ready "$tmp/zel.out" "$zel_pid") || { cat "$tmp/zel.err" >&2; die "our server did not start"; }
[ "$zel_bound" = "$zel_port" ] || die "our server bound port $zel_bound, not $zel_port"
[ "$(readlink "/proc/$zel_pid/exe")" = "$bin" ] || die "pid $zel_pid is not our server"

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
ip netns exec "$dev_ns" nginx -p "$tmp" -c "$tmp/nginx.conf" </dev/null >/dev/null 2>"$tmp/nginx.err" &
nginx_pid=$!
pids+=("$nginx_pid")
wait_listening t "$nginx_port" || { cat "$tmp/nginx.err" "$tmp/logs/error.log" >&2 2>/dev/null; die "nginx did not start"; }

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
    "$body_size-byte body, $rounds round(s); load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %14s %10s %14s %10s %7s\n' round 'zel req/s' 'zel p99ms' 'nginx req/s' 'nginx p99ms' ratio
ratios=()
for ((round = 1; round <= rounds; round++)); do
    for name in zel nginx; do
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
    printf '%-6s %14s %10s %14s %10s %7s\n' "$round" "$(rps "$z")" "$(p99_ms "$z")" \
        "$(rps "$n")" "$(p99_ms "$n")" "$ratio"
    for f in "$z" "$n"; do
        e=$(errors "$f")
        [ -z "$e" ] || echo "       $(basename "$f" .txt): $e"
    done
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
echo "median ratio zel_upnp/nginx requests/s: $median (load average after: $(cut -d' ' -f1-3 /proc/loadavg))"
echo "-- full wrk report of round 1, zel_upnp:"
cat "$tmp/wrk-zel-1.txt"
echo "-- full wrk report of round 1, nginx:"
cat "$tmp/wrk-nginx-1.txt"

stop_pid "$zel_pid"
stop_pid "$nginx_pid"
pids=()
grep -q '^terminated' "$tmp/zel.err" || echo "warning: our server did not report a clean termination" >&2

# ---------------------------------------------------------------------------
# Idle footprint: one TCP, one UDP and one multicast server, nothing else.
# ---------------------------------------------------------------------------
ZEL_LOG_LEVEL=none ip netns exec "$dev_ns" "$bin" --idle "$idle_port" "$dev_ip" \
    </dev/null >"$tmp/idle.out" 2>"$tmp/idle.err" &
idle_pid=$!
pids+=("$idle_pid")
wait_ready "$tmp/idle.out" "$idle_pid" >/dev/null || { cat "$tmp/idle.err" >&2; die "the idle bring-up did not start"; }
[ "$(readlink "/proc/$idle_pid/exe")" = "$bin" ] || die "pid $idle_pid is not our program"
wait_listening t "$idle_port" || die "no TCP server on $idle_port"
wait_listening u "$idle_udp_port" || die "no UDP server on $idle_udp_port"
wait_listening u "$ssdp_port" || die "no multicast server on $ssdp_port"
sleep "$settle_seconds"
echo
echo "== idle footprint (TCP :$idle_port, UDP :$idle_udp_port, multicast 239.255.255.250:$ssdp_port)"
grep -E '^(VmRSS|VmHWM|Threads):' "/proc/$idle_pid/status"
echo "threads by name:"
cat /proc/"$idle_pid"/task/*/comm | sed 's/[0-9]*$//' | sort | uniq -c | sed 's/^/  /'
