#!/usr/bin/env bash
# Installs everything Wirequill needs to build and test on Debian 12. Safe to run again.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang-format tzdata
  # capture
  libpcap-dev
  # the desktop application
  qt6-base-dev qt6-multimedia-dev libxkbcommon-dev pkexec libcap2-bin
  # capture on another host
  openssh-client
  # screenshots and display tests
  xvfb xauth
  # tests, benchmarks, fuzzing
  googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  # live capture tests in network namespaces
  iproute2 iputils-ping ethtool
  # TCP retransmissions made on purpose (a rule that drops segments at random), and a client
  nftables curl
  # remote capture tests: an SSH server in a namespace, and tcpdump on the far side
  openssh-server tcpdump
  # the Debian package (dpkg-shlibdeps) and its check: manual pages, desktop entry
  dpkg-dev gzip groff-base man-db desktop-file-utils
)

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
