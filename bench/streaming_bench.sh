#!/usr/bin/env bash
# Streaming throughput: a 1 GiB file served by zel-stream-server and by nginx
# (sendfile on and off), fetched with curl over 1 and 4 connections, beside
# iperf3 over the same veth as the transport's limit; then the library's
# clients (zel-stream-get, asynchronous and synchronous) against curl, all
# fetching from nginx with sendfile on. Prints one table row per run: MB/s,
# CPU seconds per GB of the serving (or fetching) process, and its peak RSS.
#
# Usage (as root): bench/streaming_bench.sh [BUILD_DIR]   (default: build)
#
# Everything runs in two network namespaces made for the run, joined by a
# veth pair whose both ends are created inside them; the namespaces, the
# processes and the file under /tmp go on exit. The servers run in a session
# of their own (setsid), the fetching clients in the script's. Each round
# runs every server and every client once, in an order that rotates from
# round to round (ZB_ROUNDS rounds, see bench/lib.sh).
#
# ZB_FILE_MIB: size of the file (default 1024). ZB_STREAM_SERVER_ARGS: extra
# arguments for zel-stream-server. When its --help names --copy, it runs a
# second time with --copy (the path that copies file data through user
# space) beside the default one.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
bench_init streaming

build=$(cd "${1:-$bench_root/build}" && pwd)
bin=$build/bin
readonly dev_ns=zsb-dev-$$
readonly peer_ns=zsb-peer-$$
readonly dev_ip=10.215.0.1
readonly peer_ip=10.215.0.2
readonly zel_port=49400
readonly zel_copy_port=49404
readonly nginx_on_port=49401
readonly nginx_off_port=49402
readonly iperf_port=49403
readonly file_mib=${ZB_FILE_MIB:-1024}
readonly fetch_limit=120   # seconds, per fetch
read -r -a server_args <<<"${ZB_STREAM_SERVER_ARGS:-}"

bench_need nginx-light nginx
bench_need curl curl
bench_need iperf3 iperf3
bench_need time /usr/bin/time
bench_need bc bc
bench_need python3 python3
for tool in zel-stream-server zel-stream-get; do
  [ -x "$bin/$tool" ] || bench_die "build $bin/$tool first"
done
copy_path=
help=$("$bin/zel-stream-server" --help 2>&1 || true)
[[ $help != *--copy* ]] || copy_path=yes

work=$bench_work
mkdir -p "$work/www"
head -c $((file_mib * 1024 * 1024)) /dev/urandom >"$work/www/file.bin"
chmod 644 "$work/www/file.bin"

bench_require_quiet
bench_netns_pair "$dev_ns" "$peer_ns" zsb0 zsb1 "$dev_ip" "$peer_ip"

wait_port() {  # port
  local i
  for ((i = 0; i < bench_ready_polls; i++)); do
    ip netns exec "$peer_ns" bash -c "exec 3<>/dev/tcp/$dev_ip/$1" 2>/dev/null && return 0
    sleep 0.1
  done
  bench_die "nothing listens on $1"
}
ticks() {  # pid -> utime + stime of the process and its waited-for children so far
  awk '{ sub(/.*\) /, ""); print $12 + $13 + $14 + $15 }' "/proc/$1/stat"
}
hwm_kib() { awk '/VmHWM/ {print $2}' "/proc/$1/status"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
gib=$(echo "$file_mib / 1024" | bc -l)

# curl over N connections from the peer; prints MB/s of the aggregate.
curl_fetch() {  # port connections
  local start end i fetches=()
  start=$(date +%s.%N)
  for ((i = 0; i < $2; i++)); do
    ip netns exec "$peer_ns" curl -s --max-time $fetch_limit -o /dev/null \
      "http://$dev_ip:$1/file.bin" &
    fetches+=($!)
  done
  for i in "${fetches[@]}"; do wait "$i" || bench_die "a fetch from port $1 failed"; done
  end=$(date +%s.%N)
  echo "$file_mib * $2 * 1.048576 / ($end - $start)" | bc -l
}

# A table row, kept until the table is printed at the end.
row() {  # label MB/s CPU-s/GB|- peak-RSS
  local cpu=$3
  [ "$cpu" = - ] || cpu=$(printf '%.2f' "$cpu")
  printf '| %s (%s) | %s | %.0f | %s | %s |\n' "$round" "$bench_round_load" "$1" "$2" "$cpu" "$4" \
    >>"$work/rows"
}

# The servers, each started once and kept for all rounds: name -> port, pid.
declare -A port_of pid_of rest_of
servers=()
start_server() {  # name port program arguments...
  local name=$1 port=$2
  shift 2
  bench_daemon "$dev_ns" "$work/$port.out" "$work/$port.err" "$@"
  wait_port "$port"
  bench_check_daemon "$bench_pid" "$1"
  port_of[$name]=$port
  pid_of[$name]=$bench_pid
  rest_of[$name]=$(rss_kib "$bench_pid")
  servers+=("$name")
}

bench_daemon "$dev_ns" /dev/null /dev/null iperf3 -s -p $iperf_port
wait_port $iperf_port

start_server "zel-stream-server${server_args[*]:+ ${server_args[*]}}" $zel_port \
  "$bin/zel-stream-server" --dir "$work/www" --interface zsb0 --port $zel_port "${server_args[@]}"
[ -z "$copy_path" ] ||
  start_server "zel-stream-server --copy${server_args[*]:+ ${server_args[*]}}" $zel_copy_port \
    "$bin/zel-stream-server" --dir "$work/www" --interface zsb0 --port $zel_copy_port --copy "${server_args[@]}"
for mode in on off; do
  port=$nginx_on_port
  [ $mode = off ] && port=$nginx_off_port
  mkdir -p "$work/nginx-$mode"
  cat >"$work/nginx-$mode/nginx.conf" <<CONF
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
  start_server "nginx sendfile $mode" $port nginx -p "$work/nginx-$mode" \
    -c "$work/nginx-$mode/nginx.conf" -g 'daemon off; master_process off;'
done

# The clients, all against nginx with sendfile on. /usr/bin/time gives the
# client's CPU and peak RSS.
client_run() {  # label command...
  local label=$1 wall user sys rss
  shift
  /usr/bin/time -o "$work/time.txt" -f '%e %U %S %M' ip netns exec "$peer_ns" "$@" \
    >/dev/null 2>"$work/client.err" || { cat "$work/client.err" >&2; bench_die "$label failed"; }
  read -r wall user sys rss <"$work/time.txt"
  row "$label" "$(echo "$file_mib * 1.048576 / $wall" | bc -l)" \
    "$(echo "($user + $sys) / $gib" | bc -l)" "$rss KiB"
}
url=http://$dev_ip:$nginx_on_port/file.bin

echo "file of $file_mib MiB; servers: $(bench_session_mode); ${#servers[@]} servers" \
  "$( [ -n "$copy_path" ] || echo "(zel-stream-server has no --copy: one zel row per run)")"
for ((round = 1; round <= bench_rounds; round++)); do
  bench_round "$round"
  mbps=$(ip netns exec "$peer_ns" iperf3 -c $dev_ip -p $iperf_port -t 5 -J |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"]/8e6)')
  row "iperf3, 1 stream (transport limit)" "$mbps" - -
  for conns in 1 4; do
    while read -r index; do
      name=${servers[$index]}
      pid=${pid_of[$name]}
      t0=$(ticks "$pid")
      mb=$(curl_fetch "${port_of[$name]}" "$conns")
      t1=$(ticks "$pid")
      row "$name, curl x$conns" "$mb" \
        "$(echo "($t1 - $t0) / $bench_hz / ($gib * $conns)" | bc -l)" "$(hwm_kib "$pid") KiB"
    done < <(bench_rotate "$round" "${!servers[@]}")
  done
  for client in $(bench_rotate "$round" curl async sync); do
    case $client in
    curl) client_run "curl from nginx" curl -s --max-time $fetch_limit -o /dev/null "$url" ;;
    async) client_run "zel-stream-get from nginx" "$bin/zel-stream-get" "$url" -o /dev/null ;;
    sync) client_run "zel-stream-get --sync from nginx" "$bin/zel-stream-get" --sync "$url" -o /dev/null ;;
    esac
  done
done
echo
echo "| round (load) | run | MB/s | CPU s/GB | peak RSS |"
echo "|---|---|---|---|---|"
cat "$work/rows"
echo
echo "| server | RSS at rest | peak RSS (VmHWM) |"
echo "|---|---|---|"
for name in "${servers[@]}"; do
  echo "| $name | ${rest_of[$name]} KiB | $(hwm_kib "${pid_of[$name]}") KiB |"
done
echo "load average at the end: $(bench_load)"
