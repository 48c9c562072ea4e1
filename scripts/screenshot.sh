#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes docs/screenshot.png: the main window over the sample capture, as it looks while capturing,
# with the web page's answer selected; without a display.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target make_sample_capture grab_main_window
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
./build/bin/make_sample_capture "$runtime/sample.pcap"
mkdir -p docs
XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=offscreen TZ=UTC \
  ./build/bin/grab_main_window "$runtime/sample.pcap" docs/screenshot.png 13 2>/dev/null
echo "wrote docs/screenshot.png"
