#!/usr/bin/env bash
# Debian 11's real pulseaudio package against the tool's masks. Removing the package without
# purging masks its user units and notes so, and installing it again takes back exactly the
# masks so noted: the tool must leave masks that no package operation takes back, whether it
# runs after the package masked the units or before.
#   package_masks_test.sh TOOL CACHE
# CACHE keeps the Debian 11 root (made once with mmdebstrap, about a minute); each sequence runs
# in a throw-away overlay of it, the package operations in a chroot, the tool from outside with
# the root's /etc and /var/lib/systemd mounted over the machine's, in a private mount namespace.
set -uo pipefail
tool=$1
cache=$2
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root for a chroot and a private mount namespace"
unshare -m true 2>/dev/null || skip "no private mount namespace here"
command -v mmdebstrap >/dev/null || skip "mmdebstrap is not installed"
root=$cache/bullseye-pulseaudio
mkdir -p "$cache"
# Made whole or not at all, by one test at a time: under another name, renamed once complete.
exec 9>"$cache/lock"
flock 9
if [ ! -d "$root" ]; then
    rm -rf "$root.new"
    mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null)
    mirror=${mirror:-$(awk '/^deb / { print $2; exit }' /etc/apt/sources.list 2>/dev/null)}
    mmdebstrap --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' \
        --include=pulseaudio,systemd bullseye "$root.new" "deb $mirror bullseye main" \
        >"$cache/mmdebstrap.log" 2>&1 && mv "$root.new" "$root" ||
        skip "no Debian 11 root with pulseaudio could be made here ($cache/mmdebstrap.log)"
fi
flock -u 9

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/sequence" <<'EOF'
set -u
tool=$1 root=$2 work=$3
shift 3
# The overlay's own layers on a tmpfs, which works where the root itself is on an overlay too.
mkdir -p "$work/layers" "$work/root"
mount -t tmpfs tmpfs "$work/layers"
mkdir "$work/layers/upper" "$work/layers/work"
mount -t overlay overlay -o "lowerdir=$root,upperdir=$work/layers/upper,workdir=$work/layers/work" \
    "$work/root" || exit 1
mount -t proc proc "$work/root/proc"
cp /etc/resolv.conf "$work/root/etc/resolv.conf" 2>/dev/null
units() {
    chroot "$work/root" systemctl --global is-enabled pulseaudio.socket pulseaudio.service 2>&1 |
        tr '\n' ' '
}
for step; do
    case $step in
    tool)
        said=$(unshare -m sh -c 'mount --bind "$0/etc" /etc && mount --bind "$0/var/lib/systemd" /var/lib/systemd && mount -t tmpfs -o mode=755 tmpfs /run && exec "$1"' "$work/root" "$tool" | tail -n 1)
        ;;
    *)
        # shellcheck disable=SC2086 # the step is apt-get's words
        chroot "$work/root" env DEBIAN_FRONTEND=noninteractive apt-get -y -qq $step >/dev/null 2>&1 ||
            said="apt-get $step failed"
        ;;
    esac
    echo "$step: ${said:+$said; }$(units)"
    said=
done
EOF
fail=0
check() {
    local name=$1
    shift
    unshare -m --propagation private bash "$work/sequence" "$tool" "$root" "$work" "$@" \
        >"$work/$name" 2>&1
    echo "$name:"
    sed 's/^/  /' "$work/$name"
    # Once the tool has run, the units stay masked and a run finds nothing to do.
    sed -n '/^tool: /,$p' "$work/$name" | grep -v 'masked masked $' && fail=1
    tail -n 1 "$work/$name" | grep -q "^tool: Pulseaudio autostart has been disabled before" || fail=1
}
check "masked by the package first" "remove pulseaudio" tool update "install pulseaudio" \
    "install --reinstall pulseaudio libpulse0" "remove pulseaudio" "install pulseaudio" \
    "purge pulseaudio" "install pulseaudio" tool
check "masked by the tool first" tool "remove pulseaudio" "purge pulseaudio" update \
    "install pulseaudio" "install --reinstall pulseaudio libpulse0" tool
[ $fail = 0 ] && echo "package masks: every unit stays masked through every package operation"
exit $fail
