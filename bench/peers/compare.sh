#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Reads one generated capture file (2 000 000 packets, seed 1; made once and kept in BUILD_DIR,
# made again when the generator is newer) with wirequill and with peer tools, RUNS times each
# (default 5), and prints each one's median wall time, packets per second, median peak memory
# (RSS) and wall time relative to wirequill:
#   wirequill -r F --no-window --report /dev/null
#   tcpflow -r F -o DIR          (a fresh empty DIR each run, in /dev/shm when there is one, so
#                                 that the disk's write-back does not decide its time)
#   tshark -r F -q -z conv,tcp
#   tcpdump -r F -nn -A > /dev/null
#   pcap_read_loop F             (a bare libpcap read loop: the practical limit)
# A tool whose first run takes over a minute is run once. Then, from one more run of wirequill,
# the nodes and payload it holds at the end, against its peak memory. Installs tcpflow, tshark,
# tcpdump and GNU time from Debian when they are missing.
# Usage: bench/peers/compare.sh BUILD_DIR [RUNS]   (PACKETS=N in the environment: another size)
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [RUNS]" >&2
  exit 2
fi
build=$(realpath "$1")
runs=${2:-5}
packets=${PACKETS:-2000000}
seed=1

run_as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for package in tcpflow tshark tcpdump time; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  # tshark's package asks whether non-root users may capture: no.
  echo "wireshark-common wireshark-common/install-setuid boolean false" |
    run_as_root debconf-set-selections
  run_as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
  run_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
fi

for program in wirequill make_large_capture pcap_read_loop; do
  if [ ! -x "$build/bin/$program" ]; then
    echo "$build/bin/$program is missing: build first" >&2
    exit 1
  fi
done

capture=$build/bench/peers/large-seed$seed-$packets.pcap
if [ ! -s "$capture" ] || [ "$build/bin/make_large_capture" -nt "$capture" ]; then
  mkdir -p "$(dirname "$capture")"
  echo "Generating $capture ..."
  "$build/bin/make_large_capture" --seed "$seed" --packets "$packets" "$capture.part"
  mv "$capture.part" "$capture"
fi
cat "$capture" >/dev/null # into the page cache, so that the first run reads no disk

scratch=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$scratch"' EXIT

median() {
  sort -g | awk '{ v[NR] = $1 }
                 END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# measure NAME COMMAND...: runs COMMAND $runs times, or once when that takes over a minute (tcpdump
# -A takes minutes on this file); appends "NAME wall_ms rss_kib" lines to the results.
measure() {
  local name=$1
  shift
  local run start end
  for ((run = 1; run <= runs; run++)); do
    rm -rf "$scratch/flows"
    mkdir "$scratch/flows"
    start=$(date +%s%N)
    if ! /usr/bin/time -f "%M" -o "$scratch/rss" "$@" >/dev/null 2>"$scratch/stderr"; then
      echo "$name failed:" >&2
      cat "$scratch/stderr" >&2
      exit 1
    fi
    end=$(date +%s%N)
    echo "$name $(((end - start) / 1000000)) $(tail -n 1 "$scratch/rss")" >>"$scratch/results"
    echo "  $name run $run: $(((end - start) / 1000000)) ms" >&2
    if ((end - start > 60000000000)); then
      echo "  $name: one run only, it takes over a minute" >&2
      break
    fi
  done
}

echo "Reading $capture ($(du -m "$capture" | cut -f1) MiB, $packets packets), $runs runs each"
measure wirequill "$build/bin/wirequill" -r "$capture" --no-window --report /dev/null
measure tcpflow tcpflow -r "$capture" -o "$scratch/flows"
measure tshark tshark -r "$capture" -q -z conv,tcp
measure tcpdump tcpdump -r "$capture" -nn -A
measure pcap_read_loop "$build/bin/pcap_read_loop" "$capture"

# field TOOL COLUMN: the median of a column of TOOL's results.
field() {
  awk -v tool="$1" -v column="$2" '$1 == tool { print $column }' "$scratch/results" | median
}

reference=$(field wirequill 2)
echo
printf '%-16s %12s %14s %14s %12s\n' tool "median wall" packets/s "peak RSS MiB" "× wirequill"
for tool in wirequill tcpflow tshark tcpdump pcap_read_loop; do
  wall=$(field "$tool" 2)
  rss=$(field "$tool" 3)
  awk -v tool="$tool" -v wall="$wall" -v rss="$rss" -v packets="$packets" \
    -v reference="$reference" 'BEGIN {
      printf "%-16s %10.2f s %14.0f %14.1f %12.2f\n", tool, wall / 1000, packets / (wall / 1000),
             rss / 1024, wall / reference
    }'
done

# What wirequill holds at the end: one block per node in its report, with its byte count.
echo
"$build/bin/wirequill" -r "$capture" --no-window --report - 2>/dev/null |
  awk '/^Protocol: (TCP|UDP|ICMP)$/ { nodes++ } /^Byte count: [0-9]+$/ { bytes += $3 }
       END { print nodes + 0, bytes + 0 }' >"$scratch/held"
read -r nodes payload <"$scratch/held"
awk -v nodes="$nodes" -v payload="$payload" -v rss="$(field wirequill 3)" 'BEGIN {
  bound = payload + 256 * nodes
  printf "wirequill holds %d nodes and %.1f MiB of payload at the end\n", nodes, payload / 1048576
  printf "peak RSS %.1f MiB against payload + 256 B per node = %.1f MiB: %s (%.2f×)\n",
         rss / 1024, bound / 1048576, rss * 1024 <= bound ? "within" : "over", rss * 1024 / bound
}'
