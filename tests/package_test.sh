#!/usr/bin/env bash
# Checks that the install honours DESTDIR, the .deb's metadata and content list, unpacks it
# into a throwaway root, checks that binary's hardening and runs it as root in a private mount
# namespace with a scratch /etc and a private /run, for its lock.
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
# The package built on Debian 12 installs on Ubuntu 22.04 and Linux Mint 21 (glibc 2.35,
# libstdc++6 and libgcc-s1 12) and every Debian release since; built against a newer C library,
# it may need that one.
binary=$scratch/root/usr/sbin/pulse-autospawn-off
# A sanitizer build is for the tests, and needs the sanitizers' libraries wherever it runs.
if objdump -p "$binary" | grep -q 'NEEDED.*libasan'; then needs=(); else
built_on=$(getconf GNU_LIBC_VERSION | awk '{print $2}')
oldest=2.35
dpkg --compare-versions "$built_on" le 2.37 || oldest=$built_on
newest=$(objdump -T "$binary" | grep -o 'GLIBC_[0-9.]*' |
    sed 's/GLIBC_//' | sort -V | tail -n 1)
dpkg --compare-versions "$newest" le "$oldest" ||
    { echo "the binary needs glibc $newest, newer than $oldest" >&2; exit 1; }
IFS=, read -ra needs <<<"$(field Depends)"
fi
for need in "${needs[@]}"; do
    read -r package relation version <<<"$(tr -d '()' <<<"$need")"
    case $package in
    libc6) have=$oldest ;;
    libstdc++6 | libgcc-s1) have=12 ;;
    *) echo "unexpected dependency: $need" >&2; exit 1 ;;
    esac
    [ -z "$relation" ] || dpkg --compare-versions "$have" "$relation" "$version" ||
        { echo "Depends: $need is not met by $package $have" >&2; exit 1; }
done
"$(dirname "$0")/hardening_test.sh" "$scratch/root/usr/sbin/pulse-autospawn-off" >/dev/null
mkdir -p "$scratch/etc/pulse"
printf '; autospawn = yes\n' >"$scratch/etc/pulse/client.conf"
out=$(unshare -m sh -c 'mount --bind "$0/etc" /etc && mount -t tmpfs -o mode=755 tmpfs /run && exec "$0/root/usr/sbin/pulse-autospawn-off"' "$scratch")
[ "$out" = "$(printf '\n\nPulseaudio autostart is disabled. Please reboot the computer!')" ]
[ "$(cat "$scratch/etc/pulse/client.conf")" = "autospawn = no" ]
echo "package: content and unpacked binary as expected"
