#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what Wirequill needs on Debian 12. Safe to run again.
#   setup-debian.sh            everything to build, test and benchmark it
#   setup-debian.sh --package  only what building its Debian package needs
set -euo pipefail

package=(
  # build
  build-essential cmake pkg-config
  # capture
  libpcap-dev
  # the desktop application
  qt6-base-dev qt6-multimedia-dev libxkbcommon-dev
  # the Debian package: dpkg-shlibdeps and dpkg-buildflags, file for cpack, the manual pages
  dpkg-dev file gzip
)
tests=(
  ninja-build clang-format tzdata
  # running it: live capture's launch and rights, capture on another host
  pkexec libcap2-bin openssh-client
  # screenshots and display tests
  xvfb xauth
  # tests, benchmarks, fuzzing
  googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  # live capture tests in network namespaces
  iproute2 iputils-ping ethtool
  # TCP retransmissions made on purpose (a rule that drops segments at random), and a client
  nftables curl
  # programs behind nodes: senders and an HTTP server that the tests start
  python3
  # remote capture tests: an SSH server in a namespace, and tcpdump on the far side
  openssh-server tcpdump
  # the package check: lintian, manual pages, desktop entry
  lintian groff-base man-db desktop-file-utils
)
case "${1:-}" in
  --package) packages=("${package[@]}") ;;
  "") packages=("${package[@]}" "${tests[@]}") ;;
  *) echo "usage: $0 [--package]" >&2; exit 2 ;;
esac

run_as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  run_as_root apt-get update
  run_as_root apt-get install -y --no-install-recommends "${missing[@]}"
fi
