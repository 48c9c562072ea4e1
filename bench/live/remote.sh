#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Remote capture under load: wirequill --host against tcpdump over ssh, in the same run.
# Two network namespaces joined by a veth pair; side b runs an OpenSSH server made for the run
# (its keys in a scratch folder), with the build's netsiphon first on the PATH of its sessions.
# Side b sends 32-byte UDP datagrams to its own loopback at RATE per second for SECONDS; from
# side a, two captures on b's loopback run at once:
#   wirequill --no-window --host root@B -i lo --filter udp   (through b's helper)
#   ssh root@B tcpdump -U -w - -i lo udp                      (what a user would run by hand)
# It prints the datagrams each listed, what each told of its losses, and the bytes of tcpdump's
# stream. HELPER=chunks makes b's helper one from before pcap streams (it refuses --pcap), so
# that its chunk stream is measured instead.
# Needs root. Usage: bench/live/remote.sh BUILD_DIR [RATE] [SECONDS]
set -euo pipefail

source "$(dirname "$0")/common.sh"
build=$(build_folder "BUILD_DIR [RATE] [SECONDS]" "$@")
rate=${2:-125000}
seconds=${3:-2}
udp_sender=$build/bench/capture/udp_rate_sender
require "$build/bin/wirequill" "$build/bin/netsiphon" "$udp_sender" /usr/sbin/sshd

id=$$
ns_a=wqremote${id}a ns_b=wqremote${id}b
if_a=wqr${id}a if_b=wqr${id}b
subnet=10.204.$((id % 250 + 1))
address_b=$subnet.2
scratch=$(mktemp -d)

cleanup() {
  for ns in "$ns_a" "$ns_b"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
  rm -rf "$scratch"
}
trap cleanup EXIT

ip netns add "$ns_a"
ip netns add "$ns_b"
ip link add "$if_a" netns "$ns_a" type veth peer name "$if_b" netns "$ns_b"
ip -n "$ns_a" addr add "$subnet.1/24" dev "$if_a"
ip -n "$ns_b" addr add "$address_b/24" dev "$if_b"
for ns in "$ns_a" "$ns_b"; do
  ip -n "$ns" link set lo up
done
ip -n "$ns_a" link set "$if_a" up
ip -n "$ns_b" link set "$if_b" up

# The server, its keys, and an ssh for the client that offers the key made for it.
helpers=$scratch/helpers
mkdir -p "$helpers" "$scratch/client" /run/sshd
if [ "${HELPER:-pcap}" = chunks ]; then
  printf '#!/bin/sh\ncase $1 in --can-capture-pcap|--pcap) exit 255;; esac\nexec %s "$@"\n' \
    "$build/bin/netsiphon" >"$helpers/netsiphon"
  chmod 755 "$helpers/netsiphon"
else
  ln -s "$build/bin/netsiphon" "$helpers/netsiphon"
fi
for key in host user; do
  ssh-keygen -q -t ed25519 -N '' -f "$scratch/$key"
done
cp "$scratch/user.pub" "$scratch/authorized_keys"
echo "$address_b $(cat "$scratch/host.pub")" >"$scratch/known_hosts"
cat >"$scratch/sshd_config" <<EOF
ListenAddress $address_b
HostKey $scratch/host
AuthorizedKeysFile $scratch/authorized_keys
StrictModes no
UsePAM no
PidFile $scratch/sshd.pid
SetEnv PATH=$helpers:/usr/sbin:/usr/bin:/bin
EOF
cat >"$scratch/client/ssh" <<EOF
#!/bin/sh
exec /usr/bin/ssh -F none -o IdentitiesOnly=yes -i $scratch/user -o UserKnownHostsFile=$scratch/known_hosts "\$@"
EOF
chmod 755 "$scratch/client/ssh"
ip netns exec "$ns_b" /usr/sbin/sshd -f "$scratch/sshd_config" -E "$scratch/sshd.log"

# Both captures run for the warm-up, the sending and a little after.
run_for=$((seconds + 6))
PATH=$scratch/client:$PATH XDG_CONFIG_HOME=$scratch/config XDG_RUNTIME_DIR=$scratch \
  ip netns exec "$ns_a" "$build/bin/wirequill" --no-window --host "root@$address_b" -i lo \
  --filter udp --duration "$run_for" --report "$scratch/report" 2>"$scratch/wirequill.err" &
wirequill=$!
PATH=$scratch/client:$PATH ip netns exec "$ns_a" ssh -o BatchMode=yes "root@$address_b" \
  timeout -s INT "$run_for" tcpdump -U -w - -i lo udp >"$scratch/tcpdump.pcap" \
  2>"$scratch/tcpdump.err" &
tcpdump=$!
sleep 3
sent=$(ip netns exec "$ns_b" "$udp_sender" 127.0.0.1 9 "$rate" "$seconds" 32)
wait "$wirequill" || true
wait "$tcpdump" || true

listed_wirequill=$(grep -c '^Protocol: UDP$' "$scratch/report" || true)
listed_tcpdump=$(tcpdump -r "$scratch/tcpdump.pcap" 2>/dev/null | grep -c 'UDP, length 32' || true)
echo "helper stream: ${HELPER:-pcap}; $sent datagrams sent at $rate/s for $seconds s"
echo "wirequill --host: $listed_wirequill listed"
grep -h 'dropped\|Capturing on' "$scratch/wirequill.err" | sed 's/^/  /' || true
echo "tcpdump over ssh: $listed_tcpdump listed, stream $(stat -c %s "$scratch/tcpdump.pcap") bytes"
grep -h 'dropped\|captured' "$scratch/tcpdump.err" | sed 's/^/  /' || true
