#!/bin/sh
# The installed launcher: it runs the client in the user's data folder, which it keeps for
# that user alone whatever the umask, also where an earlier version left it open to all.
set -eu
template=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

printf '#!/bin/sh\npwd\n' >"$work/client"
mkdir "$work/bin"
ln -s /bin/true "$work/bin/v2ray"
chmod +x "$work/client"
sed "s|@VEXALO_INSTALLED_BINARY@|$work/client|" "$template" >"$work/vexalo"
chmod +x "$work/vexalo"
launch() {
    (umask 022 && env -u XDG_DATA_HOME HOME="$work/home" PATH="$work/bin:$PATH" "$work/vexalo")
}

data="$work/home/.local/share/vexalo"
[ "$(launch)" = "$data" ] || fail "the client did not run in $data"
[ "$(stat -c %a "$data")" = 700 ] || fail "new data folder has mode $(stat -c %a "$data")"
[ "$(readlink "$data/run/corvane")" = "$work/bin/v2ray" ] || fail "run/corvane is not the core"
[ "$(stat -c %a "$work/home/.local/share")" = 755 ] || fail "the parent folder's mode changed"

chmod 755 "$data"
launch >/dev/null
[ "$(stat -c %a "$data")" = 700 ] || fail "an open data folder was left at $(stat -c %a "$data")"
echo "launcher: ok"
