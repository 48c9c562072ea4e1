#!/usr/bin/env bash
# Installs the dependencies, builds Wirequill and runs every test. CMake's default generator here
# (the sanitizer build uses Ninja), so that both get built; run.sh shares the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
TZ=UTC ctest --test-dir build --output-on-failure -j"$(nproc)"
