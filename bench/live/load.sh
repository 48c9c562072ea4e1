#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Live load: the highest rate at which wirequill, headless and with its window open (and tcpdump,
# the peer), loses nothing.
# Two network namespaces of its own joined by a veth pair (IPv6 off, gro/tso/gso off). In side a,
# `wirequill --no-window -i VETH` (which starts netsiphon on it) captures, then live_window (the
# main window, offscreen, with the same intake); from side b a bounded sender sends at rising
# rates, SECONDS each (default 3):
#   UDP: 32-byte datagrams at 10k, 25k, 50k, 100k, 200k, 400k, 800k per second; each is one
#        node, so the nodes in wirequill's report are compared with the datagrams sent;
#   TCP: one stream of 1448-byte segments at 10k to 200k per second; its node overflows, so the
#        packets the capture received are compared with the packets the veth end counted.
# A rate the sender cannot reach shows in the "sent" and "veth pkt/s" columns (both directions).
# Every step starts a fresh wirequill, stops it with SIGTERM, counts the "Protocol: UDP" blocks
# of its report and reads netsiphon's pcap_stats line; then the same with the window, then with
# tcpdump -w /dev/null.
# Needs root. Usage: bench/live/load.sh BUILD_DIR [SECONDS] [TOOL...] (tools: wirequill window
# tcpdump; all three by default). LOOKUPS=off runs wirequill without looking up the programs behind
# its nodes (LookUpPrograms=false), to compare.
set -euo pipefail

source "$(dirname "$0")/common.sh"
build=$(build_folder "BUILD_DIR [SECONDS] [TOOL...]" "$@")
seconds=${2:-3}
tools=("${@:3}")
if [ ${#tools[@]} -eq 0 ]; then
  tools=(wirequill window tcpdump)
fi
wirequill=$build/bin/wirequill
live_window=$build/bin/live_window
udp_sender=$build/bench/capture/udp_rate_sender
tcp_sender=$build/bench/live/tcp_rate_sender
udp_rates=(10000 25000 50000 100000 200000 400000 800000)
tcp_rates=(10000 25000 50000 100000 200000)
require "$wirequill" "$live_window" "$build/bin/netsiphon" "$udp_sender" "$tcp_sender"

id=$$
ns_a=wqload${id}a ns_b=wqload${id}b
if_a=wql${id}a if_b=wql${id}b
subnet=10.203.$((id % 250 + 1))
address_a=$subnet.1
scratch=$(mktemp -d)
capture_pid=

cleanup() {
  if [ -n "$capture_pid" ]; then
    kill "$capture_pid" 2>/dev/null || true
  fi
  ip netns del "$ns_a" 2>/dev/null || true
  ip netns del "$ns_b" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

ip netns add "$ns_a"
ip netns add "$ns_b"
for ns in "$ns_a" "$ns_b"; do
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
    net.ipv6.conf.default.disable_ipv6=1
done
ip link add "$if_a" netns "$ns_a" type veth peer name "$if_b" netns "$ns_b"
ip -n "$ns_a" addr add "$address_a/24" dev "$if_a"
ip -n "$ns_b" addr add "$subnet.2/24" dev "$if_b"
ip netns exec "$ns_a" ethtool -K "$if_a" gro off tso off gso off 2>/dev/null
ip netns exec "$ns_b" ethtool -K "$if_b" gro off tso off gso off 2>/dev/null
ip -n "$ns_a" link set "$if_a" up
ip -n "$ns_b" link set "$if_b" up
# Resolve the neighbour before measuring, so that no datagram waits for ARP.
ip netns exec "$ns_b" ping -q -c 1 -W 1 "$address_a" >/dev/null

# Idle nodes stay for the whole step: a private configuration with a long purge time.
mkdir -p "$scratch/config/Wirequill" "$scratch/runtime"
chmod 700 "$scratch/runtime"
printf '[General]\nPurgeIdleTime=3600\nLookUpPrograms=%s\n' \
  "$([ "${LOOKUPS:-on}" = off ] && echo false || echo true)" >"$scratch/config/Wirequill/Wirequill.conf"

# Packets the veth end in side a has seen, both directions.
wire_packets() {
  ip netns exec "$ns_a" cat "/sys/class/net/$if_a/statistics/rx_packets" \
    "/sys/class/net/$if_a/statistics/tx_packets" | awk '{ total += $1 } END { print total }'
}

fail() {
  echo "load.sh: $1" >&2
  cat "$scratch/stderr" >&2 || true
  exit 1
}

# wait_for TEST...: polls TEST for up to 10 s.
wait_for() {
  for _ in $(seq 200); do
    if "$@"; then
      return 0
    fi
    sleep 0.05
  done
  return 1
}

# netsiphon gives up root once its capture is active.
helper_capturing() {
  local helper
  helper=$(pgrep -P "$capture_pid" -x netsiphon) || return 1
  awk '/^Uid:/ { exit ($2 == 0) }' "/proc/$helper/status" 2>/dev/null
}

start_capture() { # TOOL
  if [ "$1" = wirequill ]; then
    XDG_CONFIG_HOME=$scratch/config XDG_RUNTIME_DIR=$scratch/runtime \
      ip netns exec "$ns_a" "$wirequill" --no-window -i "$if_a" --report "$scratch/report" \
      >/dev/null 2>"$scratch/stderr" &
    capture_pid=$!
    wait_for helper_capturing || fail "netsiphon did not start capturing"
  elif [ "$1" = window ]; then
    QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$scratch/runtime \
      ip netns exec "$ns_a" "$live_window" "$if_a" "$scratch/report" >/dev/null 2>"$scratch/stderr" &
    capture_pid=$!
    wait_for helper_capturing || fail "netsiphon did not start capturing"
  else
    ip netns exec "$ns_a" tcpdump -i "$if_a" -w /dev/null >/dev/null 2>"$scratch/stderr" &
    capture_pid=$!
    wait_for grep -q "listening on" "$scratch/stderr" || fail "tcpdump did not start"
  fi
}

stop_capture() { # TOOL
  sleep 1 # whatever is on its way is read
  kill -TERM "$capture_pid"
  timeout 120 tail --pid="$capture_pid" -f /dev/null || fail "$1 did not stop"
  capture_pid=
  if [ "$1" != tcpdump ]; then
    # netsiphon writes its statistics when it sees wirequill's end.
    wait_for grep -q "packets received" "$scratch/stderr" || true
  fi
}

# send PROTOCOL RATE: prints the datagrams or pieces sent.
send() {
  if [ "$1" = udp ]; then
    timeout $((seconds + 10)) ip netns exec "$ns_b" "$udp_sender" "$address_a" 9 "$2" "$seconds" 32
  else
    timeout $((seconds + 10)) ip netns exec "$ns_a" "$tcp_sender" receive 5001 $((seconds + 5)) \
      >/dev/null 2>"$scratch/receiver" &
    local receiver=$!
    wait_for grep -q listening "$scratch/receiver" || fail "the TCP receiver did not start"
    timeout $((seconds + 10)) ip netns exec "$ns_b" "$tcp_sender" send "$address_a" 5001 "$2" \
      "$seconds" 1448
    wait "$receiver"
  fi
}

# Prints "received dropped interface_dropped" from the capturing tool's statistics.
capture_statistics() { # TOOL
  if [ "$1" != tcpdump ]; then
    # netsiphon: N packets received, N dropped by the capture library, N dropped by the interface.
    awk '/^netsiphon: [0-9]+ packets received, / { print $2, $5, $11 }' "$scratch/stderr"
  else
    awk '/packets received by filter/ { received = $1 } /packets dropped by kernel/ { dropped = $1 }
         /packets dropped by interface/ { interface = $1 }
         END { print received, dropped, interface + 0 }' "$scratch/stderr"
  fi
}

printf '%-9s %-4s %8s %9s %9s %10s %9s %8s %8s %9s  %s\n' tool kind rate/s sent "on veth" \
  "veth pkt/s" received dropped if-drop nodes verdict
declare -A best
for tool in "${tools[@]}"; do
  for kind in udp tcp; do
    best[$tool-$kind]=0
    losing=
    rates_name=${kind}_rates[@]
    for rate in "${!rates_name}"; do
      rm -f "$scratch/report" "$scratch/stderr"
      start_capture "$tool"
      before=$(wire_packets)
      sent=$(send "$kind" "$rate")
      after=$(wire_packets)
      stop_capture "$tool"
      read -r received dropped ifdropped < <(capture_statistics "$tool") || true
      on_wire=$((after - before))
      nodes=-
      lost=
      if [ "${dropped:-1}" != 0 ] || [ "${ifdropped:-1}" != 0 ] ||
        [ "${received:-0}" -lt "$on_wire" ]; then
        lost=yes
      fi
      if [ "$tool" != tcpdump ] && [ "$kind" = udp ]; then
        nodes=$(grep -c '^Protocol: UDP$' "$scratch/report" || true)
        if [ "$nodes" -lt "$sent" ]; then
          lost=yes
        fi
      fi
      printf '%-9s %-4s %8d %9d %9d %10d %9s %8s %8s %9s  %s\n' "$tool" "$kind" "$rate" "$sent" \
        "$on_wire" $((on_wire / seconds)) "${received:-?}" "${dropped:-?}" "${ifdropped:-?}" \
        "$nodes" "$([ -n "$lost" ] && echo lost || echo "nothing lost")"
      if [ -z "$lost" ] && [ -z "$losing" ]; then
        best[$tool-$kind]=$rate
      else
        losing=yes
      fi
    done
  done
done
echo
for tool in "${tools[@]}"; do
  for kind in udp tcp; do
    echo "highest rate with nothing lost, $tool $kind: ${best[$tool-$kind]} packets/s (${seconds} s steps)"
  done
done
