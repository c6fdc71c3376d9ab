#!/usr/bin/env bash
# The Debian package as a user gets it: lintian finds no error, the desktop entry and the
# AppStream metadata validate, and the files unpacked from it (nothing is installed) run:
# the launcher starts the client, whose login page loads, against the stand-in; without a
# core the launcher says so in a box. Needs ports 9584 and 18080 and an X display.
#   tests/package_check.sh PACKAGE STAND-IN
set -euo pipefail
package=$(readlink -f "$1")
standin=$(readlink -f "$2")
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "package: FAIL: $*" >&2
    exit 1
}
waitfor() { # seconds, command...
    local seconds=$1
    shift
    for _ in $(seq $((seconds * 10))); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

lintian --fail-on error --no-tag-display-limit "$package" 2>/dev/null \
    || fail "lintian reports errors"
dpkg-deb -x "$package" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/vexalo.desktop" \
    || fail "desktop entry"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/com.vexalo.Vexalo.metainfo.xml" \
    >/dev/null || fail "AppStream metadata"

"$standin" >"$work/standin.log" 2>&1 &
pids+=($!)
waitfor 10 bash -c '(exec 3<>/dev/tcp/127.0.0.1/18080) 2>/dev/null' || fail "stand-in did not start"

mkdir "$work/home"
HOME="$work/home" "$work/root/usr/bin/vexalo" >"$work/client.log" 2>&1 &
client=$!
pids+=("$client")
waitfor 60 grep -q 'Page loaded: "qrc:/html/login_cn.html" ok' "$work/client.log" \
    || { cat "$work/client.log" >&2; fail "the unpacked client did not load its login page"; }
kill -TERM "$client"
wait "$client" || fail "the client did not end cleanly on SIGTERM"
[ -L "$work/home/.local/share/vexalo/run/corvane" ] || fail "no core linked"

# Without a core, a user who started it from the menu learns why in the client's error box.
mkdir "$work/home2"
HOME="$work/home2" VEXALO_CORE="$work/none" "$work/root/usr/bin/vexalo" >"$work/nocore.log" 2>&1 &
launcher=$!
pids+=("$launcher")
box=
find_box() { box=$(xdotool search --onlyvisible --name '^error$' 2>/dev/null | head -n1) && [ -n "$box" ]; }
waitfor 30 find_box || fail "no box for the missing core"
# A box just shown may not take keys yet: its "ok" is pressed until the launcher has ended.
confirm() {
    xdotool key --window "$box" Return 2>/dev/null
    sleep 0.2
    ! kill -0 "$launcher" 2>/dev/null
}
waitfor 30 confirm || fail "the box for the missing core did not close on its ok"
if wait "$launcher"; then fail "the launcher went on without a core"; fi
grep -q "The proxy core is missing" "$work/nocore.log" || fail "no message on standard error"
echo "package: $(basename "$package"): lintian, desktop entry, AppStream, unpacked client and launcher ok"
