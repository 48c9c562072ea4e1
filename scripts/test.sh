#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the dependencies, builds Wirequill and runs every test. CMake's default generator here
# (the sanitizer build uses Ninja), so that both get built; run.sh shares the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
# Installed under /usr, so that the package check below can package this same build.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build -j"$(nproc)"
TZ=UTC ctest --test-dir build --output-on-failure -j"$(nproc)"
# The Debian package of this build: the installed files where polkit, the desktop, man and the
# application look for them.
./tests/package/check-package.sh build
