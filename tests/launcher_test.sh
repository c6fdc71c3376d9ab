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

# The installed layout: the launcher in bin/, the client it finds beside it in libexec/.
mkdir -p "$work/usr/bin" "$work/usr/libexec/vexalo" "$work/bin"
printf '#!/bin/sh\npwd\n' >"$work/usr/libexec/vexalo/vexalo"
printf '#!/bin/sh\necho "$1" >"%s/notice"\n' "$work" >"$work/usr/libexec/vexalo/vexalo-notice"
chmod +x "$work/usr/libexec/vexalo/vexalo" "$work/usr/libexec/vexalo/vexalo-notice"
ln -s /bin/true "$work/bin/v2ray"
sed "s|@VEXALO_CLIENT_FROM_BINDIR@|../libexec/vexalo/vexalo|" "$template" >"$work/usr/bin/vexalo"
chmod +x "$work/usr/bin/vexalo"
ln -s "$work/usr/bin/vexalo" "$work/bin/vexalo-link"
launch() {
    (umask 022 && env -u XDG_DATA_HOME HOME="$work/home" PATH="$work/bin:$PATH" \
        "$work/bin/vexalo-link")
}

data="$work/home/.local/share/vexalo"
[ "$(launch)" = "$data" ] || fail "the client did not run in $data"
[ "$(stat -c %a "$data")" = 700 ] || fail "new data folder has mode $(stat -c %a "$data")"
[ "$(readlink "$data/run/corvane")" = "$work/bin/v2ray" ] || fail "run/corvane is not the core"
[ "$(stat -c %a "$work/home/.local/share")" = 755 ] || fail "the parent folder's mode changed"

chmod 755 "$data"
launch >/dev/null
[ "$(stat -c %a "$data")" = 700 ] || fail "an open data folder was left at $(stat -c %a "$data")"
# Without a core it says so, also to a user who started it from the menu.
rm "$data/run/corvane"
if (env HOME="$work/home" DISPLAY=:99 VEXALO_CORE="$work/none" "$work/usr/bin/vexalo" 2>/dev/null); then
    fail "started without a core"
fi
grep -q "The proxy core is missing" "$work/notice" || fail "no notice for the missing core"
echo "launcher: ok"
