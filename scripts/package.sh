#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package build-pkg/wirequill_VERSION_ARCH.deb (a Release build for /usr, with
# Debian's hardening flags), installing only what that build needs, and with --install installs
# it with apt-get, which brings in what it depends on (uses sudo when not root). The test command
# (scripts/test.sh) checks the package.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  "" | --install) ;;
  *) echo "usage: $0 [--install]" >&2; exit 2 ;;
esac
./scripts/setup-debian.sh --package
# Only what the package holds: no tests, no benchmarks.
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build build-pkg -j"$(nproc)"
rm -f build-pkg/wirequill_*.deb
(cd build-pkg && cpack -G DEB)
packages=(build-pkg/wirequill_*.deb)
echo "built ${packages[0]}"

if [ "${1:-}" = --install ]; then
  if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "./${packages[0]}"
fi
