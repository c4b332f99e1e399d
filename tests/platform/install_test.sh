#!/usr/bin/env bash
# Runs scripts/install with the programs of this build into a temporary PREFIX without
# enabling anything, under umask 000, checks the layout, the modes and the unit
# (systemd-analyze verify where the tool exists), runs the installed service under a private
# manager on the starting configuration as written and once filled in, then --uninstall: the
# programs and the unit go, configuration, logs and status files stay, and nothing outside
# PREFIX was touched. As root it also checks that an unsafe PREFIX is refused.
# Usage: install_test.sh REPO_DIR BIN_DIR
set -euo pipefail

repo=$1
bin=$2
script=$repo/scripts/install

tmp=$(mktemp -d)
mgr_pid=
cleanup() {
    if [ -n "$mgr_pid" ]; then
        kill -TERM "$mgr_pid" 2>/dev/null
        wait "$mgr_pid" 2>/dev/null
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
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

# "//" and "/." are the root directory as well. Without programs to install, a script that
# took them could not write there either.
for root in // /. /tmp/..; do
    rc=0
    "$script" --bin "$tmp/none" --no-enable "$root" >/dev/null 2>&1 || rc=$?
    [ "$rc" -eq 2 ] || fail "PREFIX $root exited with $rc, expected 2"
done

# A PREFIX that another user owns, or that is on a path others may write, is refused before
# anything is written; a sticky directory (as /tmp is) is no such path.
if [ "$(id -u)" -eq 0 ]; then
    refused() { # what, PREFIX
        local rc=0
        "$script" --bin "$bin" --no-enable "$2" >/dev/null 2>&1 || rc=$?
        [ "$rc" -eq 1 ] || fail "$1: exited with $rc, expected 1"
        [ ! -e "$2/svcmgr" ] || fail "$1: programs were installed"
    }
    mkdir -p "$tmp/user" "$tmp/open/sub" "$tmp/sticky"
    chown nobody "$tmp/user"
    refused "a PREFIX owned by nobody" "$tmp/user"
    refused "a PREFIX below a directory owned by nobody" "$tmp/user/kv"
    chmod 0777 "$tmp/open"
    refused "a PREFIX below a directory open to all" "$tmp/open/sub/kv"
    chmod 0775 "$tmp/open"
    chgrp nogroup "$tmp/open" 2>/dev/null || chgrp 65534 "$tmp/open"
    refused "a PREFIX below a group-writable directory" "$tmp/open/sub"
    chmod 1777 "$tmp/sticky"
    "$script" --bin "$bin" --no-enable "$tmp/sticky/kv" >/dev/null 2>&1 ||
        fail "a PREFIX below a sticky directory was refused"
    rm -rf "$tmp/user" "$tmp/open" "$tmp/sticky"
fi

units_before=$(ls /etc/systemd/system 2>/dev/null | sort || true)
(umask 000 && "$script" --bin "$bin" --no-enable "$prefix") >"$tmp/out" 2>&1 || {
    cat "$tmp/out"
    fail "install failed"
}
# Modes whatever the umask; the starting configuration holds passwords.
mode_is() { # MODE FILE
    [ "$(stat -c %a "$2")" = "$1" ] || fail "${2#"$tmp"/} has mode $(stat -c %a "$2"), expected $1"
}
mode_is 755 "$prefix"
mode_is 755 "$tmp/opt"
mode_is 644 "$prefix/.installed-files"
mode_is 644 "$prefix/svcmgr.service"
mode_is 755 "$prefix/svcmgr"
mode_is 600 "$prefix/kelvardsvc.ini"
[ -z "$(find "$prefix" -name '.*.??????')" ] || fail "temporary files left in PREFIX"
for program in svcmgr kelvardsvc_w10; do
    [ -x "$prefix/$program" ] || fail "$program not installed"
    cmp -s "$bin/$program" "$prefix/$program" || fail "$program differs from the built one"
done
if [ -x "$bin/kelvardsvc_w10_cfg" ]; then
    [ -x "$prefix/console/kelvardsvc_w10_cfg" ] || fail "the console was built but not installed"
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

# The installed service under a private manager: on the starting configuration as written it
# says that no destination is configured; filled in, it sends the tracked files.
wait_for() { # SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}
if [ "$(id -u)" -eq 0 ]; then
    export SVCMGR_ROOT=$tmp/mgr
    svcmgr=$prefix/svcmgr
    "$svcmgr" run --shutdown-timeout 10 >"$tmp/mgr.log" 2>&1 &
    mgr_pid=$!
    wait_for 10 "$svcmgr" list >/dev/null 2>&1 || fail "the manager did not start"
    "$prefix/kelvardsvc_w10" -INSTALL -SILENT >/dev/null 2>&1 || fail "-INSTALL failed"
    "$svcmgr" start KelvardSvc >/dev/null || fail "the service did not start"
    log=$prefix/kelvardsvc.log
    wait_for 20 grep -q "Aucune destination configurée.*$prefix/kelvardsvc.ini" "$log" ||
        fail "no job logged that no destination is configured: $(cat "$log")"
    "$svcmgr" stop KelvardSvc >/dev/null || fail "the service did not stop"
    wait_for 20 sh -c "'$svcmgr' query KelvardSvc | grep -q 'state: *1$'" || fail "not stopped"

    mkdir -p "$tmp/track/SHOP1/caisse" "$tmp/dest"
    echo "ticket" >"$tmp/track/SHOP1/caisse/t1.txt"
    sed -i -e "s|^TrackDirectory=\$|TrackDirectory=$tmp/track|" \
        -e "s|^Destination0=\$|Destination0=$tmp/dest|" "$prefix/kelvardsvc.ini"
    "$svcmgr" start KelvardSvc >/dev/null || fail "the service did not start again"
    wait_for 20 test -f "$tmp/dest/SHOP1/caisse/t1.txt" ||
        fail "the filled-in starting configuration sent nothing: $(tail -n 5 "$log")"
    "$svcmgr" stop KelvardSvc >/dev/null
    kill -TERM "$mgr_pid"
    wait "$mgr_pid" || fail "the manager ended with an error"
    mgr_pid=
    unset SVCMGR_ROOT
fi

# What the shop and the service write beside the programs, and an install over an install:
# the configuration is never replaced.
echo "[Config]" >"$prefix/kelvardsvc.ini"
echo "a line" >"$prefix/kelvardsvc.log"
mkdir -p "$prefix/status"
echo "x" >"$prefix/status/trlist0.dst"
"$script" --bin "$bin" --no-enable "$prefix" >/dev/null 2>&1 || fail "second install failed"
[ "$(cat "$prefix/kelvardsvc.ini")" = "[Config]" ] || fail "the second install replaced the configuration"

"$script" --uninstall --no-enable "$prefix" >"$tmp/out" 2>&1 || {
    cat "$tmp/out"
    fail "uninstall failed"
}
for gone in svcmgr kelvardsvc_w10 console svcmgr.service .installed-files; do
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
