#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package from a built tree configured with -DCMAKE_INSTALL_PREFIX=/usr, runs
# lintian on it, unpacks it into a scratch root and checks that its files are where pkexec, the
# desktop and man look for them, and where the installed wirequill finds its helper; then, as
# root, installs it to check the capture rights it gives by group.
#
#   tests/package/check-package.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")

failures=0
trap 'echo "FAIL: ${BASH_SOURCE[0]}:$LINENO stopped the check" >&2' ERR
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The helper reads capture files as nobody when it runs as root: the sample must be readable.
chmod 755 "$scratch"

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; exit 1; }
packages=("$scratch"/out/wirequill_*.deb)
[ -f "${packages[0]}" ] || { echo "FAIL: cpack made no wirequill_*.deb" >&2; exit 1; }
deb=${packages[0]}
echo "== $(basename "$deb")"

# Debian's own checks: no error, no warning.
status=0
findings=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
[ "$status" -eq 0 ] && pass "lintian finds no error and no warning" || fail "lintian: $findings"

field() { dpkg-deb --field "$deb" "$1"; }
depends=$(field Depends)
for needed in pkexec libpcap0.8 libqt6widgets6 libqt6multimedia6; do
  [[ ", $depends," == *", $needed"[\ ,]* ]] && pass "depends on $needed" ||
    fail "Depends lacks $needed: $depends"
done

root="$scratch/root"
dpkg-deb --extract "$deb" "$root"
# Nothing outside /usr, where the package installs.
outside=$(cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name usr)
[ -z "$outside" ] && pass "everything under /usr" || fail "installed outside /usr: $outside"

# The helper, where the application's search (../libexec/wirequill beside bin) and the polkit
# action expect it; the last check runs it.
helper_path=/usr/libexec/wirequill/netsiphon
[ -f "$root$helper_path" ] && [ -x "$root$helper_path" ] && pass "helper at $helper_path" ||
  fail "no executable helper at $helper_path"

# The polkit action: where polkit reads actions, naming the installed helper.
policies=("$root"/usr/share/polkit-1/actions/*.policy)
if [ -f "${policies[0]}" ]; then
  exec_path=$(sed -n 's|.*<annotate key="org.freedesktop.policykit.exec.path">\(.*\)</annotate>.*|\1|p' \
    "${policies[@]}")
  [ "$exec_path" = "$helper_path" ] && pass "polkit action runs $exec_path" ||
    fail "polkit exec.path is '$exec_path', not $helper_path"
else
  fail "no polkit action in /usr/share/polkit-1/actions"
fi

# The desktop entry: valid, its program installed in /usr/bin, its icon in the hicolor theme (at
# the size its folder names) or in /usr/share/pixmaps.
desktop="$root/usr/share/applications/wirequill.desktop"
if [ -f "$desktop" ]; then
  problems=$(desktop-file-validate "$desktop" 2>&1) && pass "desktop entry valid" ||
    fail "desktop-file-validate: $problems"
  exec_line=$(sed -n 's/^Exec=//p' "$desktop")
  program=${exec_line%% *}
  [[ "$program" == /* ]] || program=/usr/bin/$program
  [ -x "$root$program" ] && pass "Exec=$exec_line runs $program" ||
    fail "Exec=$exec_line: $program is not in the package"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  found=0
  for file in "$root"/usr/share/icons/hicolor/*/apps/"$icon".{png,svg} \
    "$root"/usr/share/pixmaps/"$icon".{png,svg,xpm}; do
    [ -f "$file" ] || continue
    found=1
    size=$(basename "$(dirname "$(dirname "$file")")")
    if [[ "$file" == *.png && "$size" =~ ^[0-9]+x[0-9]+$ ]]; then
      # A PNG's width and height are big-endian words at bytes 16 and 20.
      read -r width height < <(od -An -tu4 --endian=big -j16 -N8 "$file")
      [ "${width}x${height}" = "$size" ] || fail "${file#"$root"} is ${width}x${height}"
    fi
  done
  [ "$found" -eq 1 ] && pass "Icon=$icon found" || fail "Icon=$icon is not installed"
else
  fail "no desktop entry in /usr/share/applications"
fi

# The manual pages: present, free of groff warnings, with a NAME line for whatis, and naming the
# installed paths.
for page in man1/wirequill.1 man8/netsiphon.8; do
  name=$(basename "$page")
  file=$(ls "$root/usr/share/man/$page"{.gz,} 2>/dev/null | head -n 1) || true
  [ -n "$file" ] || { fail "no manual page $page"; continue; }
  text=$(zcat -f "$file")
  warnings=$(groff -man -Tutf8 -ww -z <<<"$text" 2>&1)
  [ -z "$warnings" ] && pass "$page formats without warnings" || fail "$page: $warnings"
  whatis=$(lexgrog "$file" 2>&1 || true)
  [[ "$whatis" == *"\"${name%.*} - "* ]] && pass "$page has a NAME line" ||
    fail "$page NAME: $whatis"
  grep -q '@[A-Z_]*@' <<<"$text" && fail "$page has unconfigured @VARIABLES@"
  grep -q "$helper_path" <<<"$text" && pass "$page names $helper_path" ||
    fail "$page does not name $helper_path"
done

# The installed program runs from the unpacked tree and knows its version.
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$scratch" XDG_CONFIG_HOME="$scratch/config"
version=$("$root/usr/bin/wirequill" --version 2>/dev/null) || true
[ "$version" = "Wirequill $(field Version)" ] && pass "wirequill --version: $version" ||
  fail "wirequill --version said '$version', the package is $(field Version)"

# And it finds the helper beside it in the unpacked tree: given a capture file as its device, the
# helper replays it (at once, unpaced) and the report holds its nodes.
"$build/bin/make_sample_capture" "$scratch/sample.pcap" >/dev/null
chmod 644 "$scratch/sample.pcap"
status=0
NETSIPHON_NO_PACING=1 "$root/usr/bin/wirequill" --no-window -d "$scratch/sample.pcap" -i lo \
  --duration 2 --report "$scratch/report.txt" 2>"$scratch/run.log" || status=$?
nodes=$(grep -c '^Source Port: ' "$scratch/report.txt" 2>/dev/null || true)
if [ "$status" -eq 0 ] && [ "${nodes:-0}" -gt 0 ]; then
  pass "installed wirequill ran the installed helper ($nodes nodes)"
else
  fail "installed wirequill with the installed helper: status $status, ${nodes:-0} nodes"
  grep -i 'netsiphon\|helper\|stopped' "$scratch/run.log" >&2 || true
fi

# Installed for real, as root, where no wirequill package is installed yet (one that is stays
# untouched): the group, the helper's owner, mode and capabilities after an install, a reinstall
# and under dpkg-statoverride; a member of the group capturing live in a network namespace without
# pkexec, and a non-member sent to pkexec; purge takes the group away.
installed_check() {
  helper=/usr/libexec/wirequill/netsiphon ns=wqpkg$$ member=wqmember$$ stranger=wqother$$
  expect_rights() { # OWNER MODE
    local rights
    rights="$(stat -c '%U:%G %a' "$helper") $(getcap "$helper" | sed 's/.* //')"
    [ "$rights" = "$1 $2 cap_net_admin,cap_net_raw=ep" ] && pass "helper $rights ($3)" ||
      fail "helper is '$rights' ($3), not $1 $2 with its capabilities"
  }
  cleanup_installed() {
    ip netns del "${ns}a" 2>/dev/null || true
    ip netns del "${ns}b" 2>/dev/null || true
    userdel -r "$member" 2>/dev/null || true
    userdel -r "$stranger" 2>/dev/null || true
    dpkg-statoverride --remove "$helper" 2>/dev/null || true
    dpkg --purge wirequill >/dev/null 2>&1 || true
  }
  trap 'cleanup_installed; rm -rf "$scratch"' EXIT
  dpkg -i "$deb" >"$scratch/dpkg.log" 2>&1 || { fail "dpkg -i: $(cat "$scratch/dpkg.log")"; return; }
  getent group wirequill >/dev/null && pass "group wirequill made" || fail "no group wirequill"
  expect_rights root:wirequill 750 "installed"
  dpkg -i "$deb" >/dev/null 2>&1
  expect_rights root:wirequill 750 "reinstalled"
  dpkg-statoverride --add root root 0755 "$helper"
  dpkg -i "$deb" >/dev/null 2>&1
  expect_rights root:root 755 "under dpkg-statoverride"
  dpkg-statoverride --remove "$helper"
  dpkg -i "$deb" >/dev/null 2>&1

  useradd --system --create-home --groups wirequill "$member"
  useradd --system --create-home "$stranger"
  ip netns add "${ns}a" && ip netns add "${ns}b"
  ip link add wqp$$a netns "${ns}a" type veth peer name wqp$$b netns "${ns}b"
  ip -n "${ns}a" addr add 10.205.1.1/24 dev wqp$$a && ip -n "${ns}a" link set wqp$$a up
  ip -n "${ns}b" addr add 10.205.1.2/24 dev wqp$$b && ip -n "${ns}b" link set wqp$$b up
  as_user() { # USER COMMAND...: in side a, with the user's own home and runtime folder
    local user=$1 home
    shift
    home=$(getent passwd "$user" | cut -d: -f6)
    ip netns exec "${ns}a" setpriv --reuid="$user" --regid="$user" --init-groups \
      env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$home" QT_QPA_PLATFORM=offscreen \
      "$@"
  }
  as_user "$member" wirequill --no-window -i wqp$$a --duration 3 \
    --report "/home/$member/report.txt" >"$scratch/member.log" 2>&1 &
  local run=$!
  sleep 1.5
  ip netns exec "${ns}b" ping -c 2 -W 1 10.205.1.1 >/dev/null 2>&1 || true
  wait "$run" && grep -q '^Protocol: ICMP$' "/home/$member/report.txt" 2>/dev/null &&
    pass "a member captures live without pkexec" ||
    fail "member's capture: $(cat "$scratch/member.log")"
  as_user "$stranger" wirequill --no-window -i wqp$$a --duration 1 >"$scratch/other.log" 2>&1 &&
    fail "a non-member captured" ||
    { grep -q "pkexec cannot ask\|pkexec is not installed\|requires administrator" "$scratch/other.log" &&
      ! grep -q "not found" "$scratch/other.log" &&
      pass "a non-member is sent to pkexec" || fail "non-member: $(cat "$scratch/other.log")"; }

  dpkg --purge wirequill >/dev/null 2>&1
  getent group wirequill >/dev/null && fail "purge left the group wirequill" ||
    pass "purge removed the group"
}
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing the package needs root"
elif dpkg -s wirequill >/dev/null 2>&1; then
  echo "skipped: a wirequill package is installed here, and stays as it is"
else
  installed_check
fi

if [ "$failures" -gt 0 ]; then
  echo "package check: $failures failed" >&2
  exit 1
fi
echo "package check: all passed"
