#!/usr/bin/env bash
# Checks that the install honours DESTDIR, the .deb's metadata and content list, unpacks it
# into a throwaway root, checks that binary's hardening and runs it as root in a private mount
# namespace with a scratch /etc.
set -euo pipefail
deb=$(ls "$1"/pulse-autospawn-off_*.deb)
build=$2
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root for a private mount namespace"
unshare -m true 2>/dev/null || skip "no private mount namespace here"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = pulse-autospawn-off ]
[ "$(field Section)" = admin ]
# Matched on captured text: grep -q on a pipe can end the writer early, which pipefail fails.
grep -qw libc6 <<<"$(field Depends)"
grep -q autospawn <<<"$(field Description)"
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
grep -qx './usr/sbin/pulse-autospawn-off' <<<"$contents"
for file in man/man8/pulse-autospawn-off.8.gz doc/pulse-autospawn-off/copyright \
    doc/pulse-autospawn-off/changelog.gz; do
    grep -qx "./usr/share/$file" <<<"$contents"
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
DESTDIR=$scratch/staged cmake --install "$build" --prefix /usr >/dev/null
[ -x "$scratch/staged/usr/sbin/pulse-autospawn-off" ]
[ -f "$scratch/staged/usr/share/man/man8/pulse-autospawn-off.8.gz" ]

dpkg -x "$deb" "$scratch/root"
"$(dirname "$0")/hardening_test.sh" "$scratch/root/usr/sbin/pulse-autospawn-off" >/dev/null
mkdir -p "$scratch/etc/pulse"
printf '; autospawn = yes\n' >"$scratch/etc/pulse/client.conf"
out=$(unshare -m sh -c 'mount --bind "$0/etc" /etc && exec "$0/root/usr/sbin/pulse-autospawn-off"' "$scratch")
[ "$out" = "$(printf '\n\nPulseaudio autostart is disabled. Please reboot the computer!')" ]
[ "$(cat "$scratch/etc/pulse/client.conf")" = "autospawn = no" ]
echo "package: content and unpacked binary as expected"
