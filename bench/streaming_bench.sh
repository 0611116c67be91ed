#!/bin/bash
# Streaming throughput: a 1 GiB file served by zel-stream-server and by nginx
# (sendfile on and off), fetched with curl over 1 and 4 connections, beside
# iperf3 over the same veth as the transport's limit; then the library's
# clients (zel-stream-get, asynchronous and synchronous) against curl, all
# fetching from nginx. Prints one table row per run: MB/s, CPU seconds per GB
# of the serving (or fetching) process, and its peak RSS.
#
# Usage (as root): bench/streaming_bench.sh [BUILD_DIR]   (default: build)
#
# Everything runs in two network namespaces made for the run, joined by a
# veth pair whose both ends are created inside them; the namespaces, the
# processes and the file under /tmp go on exit. Needs nginx, curl, iperf3
# (installed here when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build}/bin
readonly rounds=${ZB_ROUNDS:-2}
readonly dev_ns=zsb-dev-$$
readonly peer_ns=zsb-peer-$$
readonly dev_ip=10.215.0.1
readonly peer_ip=10.215.0.2
readonly zel_port=49400
readonly nginx_on_port=49401
readonly nginx_off_port=49402
readonly iperf_port=49403
readonly file_mib=1024
readonly fetch_limit=120   # seconds, per fetch

for pkg in nginx-light curl iperf3; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$pkg" >/dev/null
done
for tool in zel-stream-server zel-stream-get; do
  [ -x "$bin/$tool" ] || { echo "build $bin/$tool first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/zel-stream-bench.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  ip netns del "$dev_ns" 2>/dev/null || true
  ip netns del "$peer_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

ip netns add "$dev_ns"
ip netns add "$peer_ns"
ip -n "$dev_ns" link set lo up
ip -n "$peer_ns" link set lo up
ip -n "$dev_ns" link add zsb0 type veth peer name zsb1 netns "$peer_ns"
ip -n "$dev_ns" addr add $dev_ip/24 dev zsb0
ip -n "$peer_ns" addr add $peer_ip/24 dev zsb1
ip -n "$dev_ns" link set zsb0 up
ip -n "$peer_ns" link set zsb1 up

mkdir -p "$work/www"
head -c $((file_mib * 1024 * 1024)) /dev/urandom > "$work/www/file.bin"
chmod 644 "$work/www/file.bin"

wait_port() {  # port
  for _ in $(seq 1 100); do
    ip netns exec "$peer_ns" bash -c "exec 3<>/dev/tcp/$dev_ip/$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on $1" >&2; exit 1
}
ticks() {  # pid -> utime + stime of the process and its children so far
  awk '{print $14 + $15 + $16 + $17}' "/proc/$1/stat"
}
hwm_kib() { awk '/VmHWM/ {print $2}' "/proc/$1/status"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)
gib=$(echo "$file_mib / 1024" | bc -l)

# curl over N connections from the peer; prints MB/s of the aggregate.
curl_fetch() {  # port connections
  local start end
  start=$(date +%s.%N)
  for _ in $(seq 1 "$2"); do
    ip netns exec "$peer_ns" curl -s --max-time $fetch_limit -o /dev/null \
      "http://$dev_ip:$1/file.bin" &
  done
  wait
  end=$(date +%s.%N)
  echo "$file_mib * $2 * 1.048576 / ($end - $start)" | bc -l
}

row() { printf '| %-44s | %8.0f | %8.2f | %10s |\n' "$1" "$2" "$3" "$4"; }
echo "| run | MB/s | CPU s/GB | peak RSS |"
echo "|---|---|---|---|"

# Transport limit.
ip netns exec "$dev_ns" iperf3 -s -p $iperf_port >/dev/null 2>&1 &
pids+=($!)
wait_port $iperf_port
mbps=$(ip netns exec "$peer_ns" iperf3 -c $dev_ip -p $iperf_port -t 5 -J |
  python3 -c 'import json,sys; print(json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"]/8e6)')
row "iperf3, 1 stream (transport limit)" "$mbps" 0 "-"

serve_runs() {  # label port pid
  local label=$1 port=$2 pid=$3 conns t0 t1 mb base
  base=$(rss_kib "$pid")
  for conns in 1 4; do
    for r in $(seq 1 "$rounds"); do
      t0=$(ticks "$pid")
      mb=$(curl_fetch "$port" "$conns")
      t1=$(ticks "$pid")
      row "$label, curl x$conns (round $r)" "$mb" \
        "$(echo "($t1 - $t0) / $hz / ($gib * $conns)" | bc -l)" "$(hwm_kib "$pid") KiB"
    done
  done
  echo "| $label: RSS at rest $base KiB, peak $(hwm_kib "$pid") KiB after 4 sessions |  |  |  |"
}

ZEL_LOG_LEVEL=error ip netns exec "$dev_ns" "$bin/zel-stream-server" --dir "$work/www" \
  --interface zsb0 --port $zel_port > "$work/zel.log" 2>&1 &
pids+=($!)
zel_pid=$!
wait_port $zel_port
serve_runs "zel-stream-server" $zel_port $zel_pid

for mode in on off; do
  port=$nginx_on_port
  [ $mode = off ] && port=$nginx_off_port
  mkdir -p "$work/nginx-$mode"
  cat > "$work/nginx-$mode/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx-$mode/nginx.pid;
error_log $work/nginx-$mode/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile $mode;
  client_body_temp_path $work/nginx-$mode;
  proxy_temp_path $work/nginx-$mode;
  fastcgi_temp_path $work/nginx-$mode;
  uwsgi_temp_path $work/nginx-$mode;
  scgi_temp_path $work/nginx-$mode;
  server { listen $dev_ip:$port; root $work/www; }
}
CONF
  ip netns exec "$dev_ns" nginx -p "$work/nginx-$mode" -c "$work/nginx-$mode/nginx.conf" \
    -g 'daemon off; master_process off;' &
  pids+=($!)
  wait_port $port
  serve_runs "nginx sendfile $mode" $port $!
done

# The clients, all against nginx with sendfile on. /usr/bin/time gives the
# client's CPU and peak RSS.
client_run() {  # label command...
  local label=$1 wall user sys rss
  shift
  /usr/bin/time -o "$work/time.txt" -f '%e %U %S %M' ip netns exec "$peer_ns" "$@" \
    >/dev/null 2>&1
  read -r wall user sys rss < "$work/time.txt"
  row "$label" "$(echo "$file_mib * 1.048576 / $wall" | bc -l)" \
    "$(echo "($user + $sys) / $gib" | bc -l)" "$rss KiB"
}
url=http://$dev_ip:$nginx_on_port/file.bin
for r in $(seq 1 "$rounds"); do
  client_run "curl from nginx (round $r)" curl -s --max-time $fetch_limit -o /dev/null "$url"
  client_run "zel-stream-get from nginx (round $r)" "$bin/zel-stream-get" "$url" -o /dev/null
  client_run "zel-stream-get --sync from nginx (round $r)" "$bin/zel-stream-get" --sync "$url" -o /dev/null
done
