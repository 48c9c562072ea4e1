# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by the live benchmarks (sourced): what they need before they start.

# build_folder USAGE ARGUMENT...: the build folder the first argument names, as an absolute path;
# else the usage; root only (network namespaces).
build_folder() {
  if [ $# -lt 2 ]; then
    echo "usage: $0 $1" >&2
    exit 2
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0") needs root (network namespaces)" >&2
    exit 1
  fi
  realpath "$2"
}

# require PROGRAM...: each built program is there, and so is tcpdump, the peer; else says which
# is missing and exits.
require() {
  local program
  for program in "$@"; do
    if [ ! -x "$program" ]; then
      echo "$program is missing: build first" >&2
      exit 1
    fi
  done
  if ! command -v tcpdump >/dev/null; then
    echo "tcpdump is missing: bench/peers/compare.sh installs it" >&2
    exit 1
  fi
}
