#!/usr/bin/env bash
# Installs the dependencies, builds Wirequill and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
TZ=UTC ctest --test-dir build --output-on-failure -j"$(nproc)"
