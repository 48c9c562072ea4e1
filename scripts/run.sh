#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the dependencies, builds Wirequill and runs it: with a display, the window monitoring
# the interface of the default route live; without one, a headless run over a sample capture
# that prints its report.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  interface=$(ip route show default 2>/dev/null | awk '{ for (i = 1; i < NF; i++) if ($i == "dev") { print $(i + 1); exit } }')
  exec ./build/bin/wirequill ${interface:+--interface "$interface"}
fi

sample=build/sample.pcap
./build/bin/make_sample_capture "$sample"
./build/bin/wirequill --read "$sample" --no-window --report - 2>/dev/null
echo "To watch live traffic: sudo build/bin/wirequill --no-window --interface IFACE --duration 30 --report -"
