#!/usr/bin/env bash
# Runs scripts/install with the programs of this build into a temporary PREFIX without
# enabling anything, checks the layout and the unit (systemd-analyze verify where the tool
# exists), then --uninstall: the programs and the unit go, configuration, logs and status
# files stay, and nothing outside PREFIX was touched.
# Usage: install_test.sh REPO_DIR BIN_DIR
set -euo pipefail

repo=$1
bin=$2
script=$repo/scripts/install

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/opt/kelvard
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

rc=0
"$script" --bogus >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 2 ] || fail "--bogus exited with $rc, expected 2"
rc=0
"$script" --no-enable relative/prefix >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 2 ] || fail "a relative PREFIX exited with $rc, expected 2"
[ ! -e relative ] || fail "a relative PREFIX was created"
rc=0
"$script" --no-enable "$tmp/a b&c" >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 2 ] || fail "a PREFIX with a blank exited with $rc, expected 2"
[ ! -e "$tmp/a b&c" ] || fail "a PREFIX with a blank was created"

units_before=$(ls /etc/systemd/system 2>/dev/null | sort || true)
"$script" --bin "$bin" --no-enable "$prefix" >"$tmp/out" 2>&1 || {
    cat "$tmp/out"
    fail "install failed"
}
for program in svcmgr kelvardsvc_w10; do
    [ -x "$prefix/$program" ] || fail "$program not installed"
    cmp -s "$bin/$program" "$prefix/$program" || fail "$program differs from the built one"
done
if [ -x "$bin/kelvardsvc_w10_cfg" ]; then
    [ -x "$prefix/kelvardsvc_w10_cfg" ] || fail "the console was built but not installed"
fi
grep -qx "ExecStart=$prefix/svcmgr run" "$prefix/svcmgr.service" ||
    fail "the unit does not run $prefix/svcmgr"
grep -q "kelvardsvc_w10 -INSTALL" "$tmp/out" || fail "no next steps printed"
[ "$(ls /etc/systemd/system 2>/dev/null | sort || true)" = "$units_before" ] ||
    fail "--no-enable touched /etc/systemd/system"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$prefix/svcmgr.service" >"$tmp/verify" 2>&1 || {
        cat "$tmp/verify"
        fail "systemd-analyze verify"
    }
else
    echo "systemd-analyze not installed: unit not verified"
fi

# What the shop and the service write beside the programs, and an install over an install.
echo "[Config]" >"$prefix/kelvardsvc.ini"
echo "a line" >"$prefix/kelvardsvc.log"
mkdir -p "$prefix/status"
echo "x" >"$prefix/status/trlist0.dst"
"$script" --bin "$bin" --no-enable "$prefix" >/dev/null 2>&1 || fail "second install failed"

"$script" --uninstall --no-enable "$prefix" >"$tmp/out" 2>&1 || {
    cat "$tmp/out"
    fail "uninstall failed"
}
for gone in svcmgr kelvardsvc_w10 kelvardsvc_w10_cfg svcmgr.service .installed-files; do
    [ ! -e "$prefix/$gone" ] || fail "$gone left after --uninstall"
done
for kept in kelvardsvc.ini kelvardsvc.log status/trlist0.dst; do
    [ -f "$prefix/$kept" ] || fail "$kept removed by --uninstall"
done
rc=0
"$script" --uninstall --no-enable "$prefix" >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 1 ] || fail "a second --uninstall exited with $rc, expected 1"

# An empty PREFIX goes with the programs.
"$script" --bin "$bin" --no-enable "$tmp/empty" >/dev/null 2>&1 || fail "install into empty"
"$script" --uninstall --no-enable "$tmp/empty" >/dev/null 2>&1 || fail "uninstall of empty"
[ ! -e "$tmp/empty" ] || fail "the emptied PREFIX was left"

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "install script: all checks passed"
