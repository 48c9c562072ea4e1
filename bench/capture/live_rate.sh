#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Finds the highest UDP rate on a veth pair at which netsiphon's capture library reports no drops.
# Two network namespaces of its own, joined by a veth pair; UDP from side b to side a at rising
# rates, SECONDS each, with the helper capturing on side a and its output drained through a pipe.
# Needs root. Usage: bench/capture/live_rate.sh [BUILD_DIR] [SECONDS]
set -euo pipefail

build=$(realpath "${1:-build}")
seconds=${2:-3}
helper=$build/bin/netsiphon
sender=$build/bench/capture/udp_rate_sender
rates=(10000 20000 50000 100000 150000 200000 300000 400000 800000)

id=$$
ns_a=wqrate${id}a ns_b=wqrate${id}b
if_a=wqr${id}a if_b=wqr${id}b
subnet=10.202.$((id % 250 + 1))
address_a=$subnet.1

cleanup() {
  ip netns del "$ns_a" 2>/dev/null || true
  ip netns del "$ns_b" 2>/dev/null || true
}
trap cleanup EXIT

ip netns add "$ns_a"
ip netns add "$ns_b"
for ns in "$ns_a" "$ns_b"; do
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
done
ip link add "$if_a" netns "$ns_a" type veth peer name "$if_b" netns "$ns_b"
ip -n "$ns_a" addr add "$address_a/24" dev "$if_a"
ip -n "$ns_b" addr add "$subnet.2/24" dev "$if_b"
ip -n "$ns_a" link set "$if_a" up
ip -n "$ns_b" link set "$if_b" up
# Resolve the neighbour before measuring, so that no datagram waits for ARP.
ip netns exec "$ns_b" ping -q -c 1 -W 1 "$address_a" >/dev/null

# The helper gives up root once its capture is active.
wait_until_capturing() {
  for _ in $(seq 100); do
    if awk '/^Uid:/ { exit ($2 == 0) }' "/proc/$1/status" 2>/dev/null; then
      return 0
    fi
    sleep 0.05
  done
  echo "netsiphon did not start capturing" >&2
  return 1
}

best=0
for rate in "${rates[@]}"; do
  stats=$(mktemp)
  # The helper stops at the end of its standard input, after the sender has finished.
  (sleep $((seconds + 2))) | ip netns exec "$ns_a" "$helper" /dev/bpf0 "$if_a" \
    > >(cat >/dev/null) 2>"$stats" &
  helper_pid=$!
  wait_until_capturing "$helper_pid"
  sent=$(ip netns exec "$ns_b" "$sender" "$address_a" 9 "$rate" "$seconds" 100)
  wait "$helper_pid" || true
  read -r received dropped ifdropped < <(sed -n \
    's/^netsiphon: \([0-9]*\) packets received, \([0-9]*\) dropped by the capture library, \([0-9]*\) dropped by the interface\.$/\1 \2 \3/p' \
    "$stats")
  rm -f "$stats"
  echo "rate ${rate}/s: sent $sent, received ${received:-?}, dropped ${dropped:-?}, dropped by the interface ${ifdropped:-?}"
  if [ "${dropped:-1}" != 0 ] || [ "${received:-0}" -lt "$sent" ]; then
    break
  fi
  best=$rate
done
echo "highest rate without drops: $best packets/s (UDP, 100-byte payloads, ${seconds} s each)"
