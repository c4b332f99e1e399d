#!/usr/bin/env bash
# Runs scripts/demo for a bounded time with the programs of this build and checks that every
# file of the sample shops reached the destination unchanged, that the file added during the
# run followed with the next job, that the service was stopped through the manager, and that
# neither the manager nor the service is left running.
# Usage: demo_test.sh REPO_DIR BIN_DIR
set -euo pipefail

repo=$1
bin=$2
demo=$repo/scripts/demo

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: the demo needs root"
    exit 77
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
run=$tmp/run
out=$tmp/demo.out
failures=0

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

expect_usage_error() {
    local rc=0
    "$demo" "$@" >/dev/null 2>&1 || rc=$?
    [ "$rc" -eq 2 ] || fail "demo $* exited with $rc, expected the usage error 2"
}

# Bad arguments stop the demo before it touches anything.
expect_usage_error --bogus
expect_usage_error --seconds 0
expect_usage_error --seconds 12x
expect_usage_error --dir

# A display is announced (the console draws offscreen): the demo opens the console on the
# running service and closes it at the end.
rc=0
DISPLAY=:77 QT_QPA_PLATFORM=offscreen "$demo" --dir "$run" --bin "$bin" --seconds 30 >"$out" 2>&1 ||
    rc=$?
[ "$rc" -eq 0 ] || fail "the demo exited with $rc"

track=$run/track
dest=$run/destination
svclog=$run/program/kelvardsvc.log

# Every data file of every shop arrived, in the shop and data-kind layout, with its content.
same() { # source destination
    if [ ! -f "$2" ]; then
        fail "missing at the destination: ${2#"$dest"/}"
    elif ! cmp -s "$1" "$2"; then
        fail "different at the destination: ${2#"$dest"/}"
    fi
}
for shop in MAG001 MAG002 MAG003; do
    same "$track/$shop/shopinfo.arg" "$dest/$shop/shopinfo.arg"
    same "$track/$shop/horaires.arg" "$dest/track/$shop/horaires.arg"
    same "$track/$shop/tallix/count.scb" "$dest/$shop/tallix/count.scb"
    same "$track/$shop/filters/promo.fif" "$dest/$shop/filters/promo.fif"
    for ticket in "$track/$shop"/caisse/*.txt; do
        same "$ticket" "$dest/$shop/caisse/$(basename "$ticket")"
    done
done

# The ticket added after the first job, and the rewritten counting file, went with a later job.
added=$(find "$track/MAG002/caisse" -name '*.txt' | wc -l)
[ "$added" -eq 3 ] || fail "expected 3 tickets in MAG002/caisse after the demo added one, found $added"
grep -q ';530' "$dest/MAG003/tallix/count.scb" 2>/dev/null ||
    fail "the rewritten MAG003 counting file did not reach the destination"
[ ! -e "$track/MAG003/tallix/COUNT.COR" ] || fail "MAG003/tallix/COUNT.COR was not renamed"
count=$(find "$dest" -type f | wc -l)
[ "$count" -eq 19 ] || fail "expected 19 files at the destination, found $count"
grep -q '^  [+~] MAG002/caisse/T[0-9]*_[0-9]*.txt$' "$out" || fail "the demo did not show the added ticket"

# The configuration holds the password fields: only root may read it.
[ "$(stat -c %a "$run/program/kelvardsvc.ini")" = 600 ] || fail "kelvardsvc.ini is not mode 0600"

# The service was stopped through the manager (not by its shutdown), then the manager ended.
grep -q '^demo: Service stopped$' "$out" || fail "the demo did not report the service stopped"
grep -q 'Goodbye' "$out" || fail "the demo did not say goodbye"
tail -n 1 "$svclog" | tr -d '\r' | grep -q 'KelvardSvc service stopped$' ||
    fail "the service log does not end with the stop: $(tail -n 1 "$svclog")"
[ ! -e "$run/svcmgr.pid" ] || fail "the manager's pid file is left"

# The console ran on the service (it polled, and kept its settings) and was closed.
if [ -x "$bin/kelvardsvc_w10_cfg" ]; then
    grep -q '^demo: the console window is open' "$out" || fail "the demo did not open the console"
    grep -q '^demo: closing the console window' "$out" || fail "the demo did not close the console"
    [ -f "$run/console/kelvardsvc_cfg.ini" ] || fail "the console kept no settings file"
fi

# Nothing runs on with the demo's manager root or program.
left=()
for proc in /proc/[0-9]*; do
    exe=$(readlink "$proc/exe" 2>/dev/null) || continue
    if [ "$exe" = "$run/program/kelvardsvc_w10" ] || [ "$exe" = "$run/console/kelvardsvc_w10_cfg" ] ||
        tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -qxF "SVCMGR_ROOT=$run/svcmgr"; then
        left+=("${proc#/proc/} $exe")
    fi
done
[ ${#left[@]} -eq 0 ] || fail "processes left behind: ${left[*]}"

if [ "$failures" -ne 0 ]; then
    echo "--- demo output"
    cat "$out"
    exit 1
fi
echo "demo script: ok"
