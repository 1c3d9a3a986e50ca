#!/usr/bin/env bash
# Runs the example playbook for real, in one play over four hosts: private roots made from
# overlays of this machine's, reached by the chroot connection, whose changes land in a tmpfs.
# The inventory's group variable names the package, so it must reach the role.
set -euo pipefail
source_dir=$1
deb=$(ls "$2"/pulse-autospawn-off_*.deb)
skip() { echo "SKIP: $*"; exit 77; }
command -v ansible-playbook >/dev/null || skip "ansible-playbook is not installed"
[ "$(id -u)" -eq 0 ] || skip "needs root for overlays, chroots and the package install"
unshare -m true 2>/dev/null || skip "no private mount namespace here"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export scratch source_dir deb
unshare -m bash -euo pipefail <<'SCRIPT'
# Overlay upper directories cannot live on an overlay, as / is in a container: use a tmpfs.
mount -t tmpfs tmpfs "$scratch"
hosts="changed already absent refuses"
for host in $hosts; do
    root=$scratch/$host/root
    mkdir -p "$scratch/$host/upper" "$scratch/$host/work" "$root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/$host/upper,workdir=$scratch/$host/work" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=755 tmpfs "$root/run"
    # A local package needs only what is installed: without this machine's package lists and
    # their cache, each host's apt starts in a moment instead of seconds.
    mount -t tmpfs tmpfs "$root/var/lib/apt/lists"
    mount -t tmpfs tmpfs "$root/var/cache/apt"
    rm -rf "$root/etc/pulse" "$root/etc/systemd/user"
    mkdir "$root/etc/pulse"
done
printf '; autospawn = yes\n' >"$scratch/changed/root/etc/pulse/client.conf"
printf 'autospawn = no\n' >"$scratch/already/root/etc/pulse/client.conf"
rmdir "$scratch/absent/root/etc/pulse"
printf '; autospawn = yes\n' >"$scratch/refuses/root/etc/pulse/client.conf"
mkdir "$scratch/refuses/root/etc/pulse/client.conf.tmp"

mkdir -p "$scratch/inventory/group_vars" "$scratch/home"
{
    echo "[desktops]"
    for host in $hosts; do echo "$host ansible_host=$scratch/$host/root"; done
    echo "[desktops:vars]"
    echo "ansible_connection=community.general.chroot"
    echo "ansible_python_interpreter=/usr/bin/python3"
} >"$scratch/inventory/hosts"
echo "pulse_autospawn_off_deb: $deb" >"$scratch/inventory/group_vars/desktops.yml"
export HOME=$scratch/home ANSIBLE_LOCAL_TEMP=$scratch/home/local
export ANSIBLE_STDOUT_CALLBACK=json ANSIBLE_NOCOLOR=1

# Prints "host outcome" for each host: what the play made of the tool's run there, with
# "skipped" where check mode did not run it; and the play's recap, as users read it, in
# $scratch/recap.
play() {
    ansible-playbook -i "$scratch/inventory/hosts" -e ansible_become=false "$@" \
        "$source_dir/examples/ansible/playbook.yml" >"$scratch/play.json" || true
    python3 - "$scratch/play.json" "$scratch/recap" <<'PY'
import json, sys
play = json.load(open(sys.argv[1]))
task = next(t for t in play["plays"][0]["tasks"] if t["task"]["name"].endswith("Switch autospawn off"))
for host, result in sorted(task["hosts"].items()):
    outcome = ("failed" if result.get("failed") else "skipped" if result.get("skipped")
               else "changed" if result.get("changed") else "ok")
    print(host, outcome)
with open(sys.argv[2], "w") as recap:
    for host, stats in sorted(play["stats"].items()):
        print(host, *(f"{key}={stats[key]}" for key in ("ok", "changed", "failures", "skipped")),
              file=recap)
PY
}
# The recap's changed count of each host that did not fail, as "host changed=N".
changed_counts() {
    awk '$4 == "failures=0" { print $1, $3 }' "$scratch/recap"
}
expect() { # what the play printed, then what was expected
    [ "$1" = "$2" ] || { printf 'expected:\n%s\nthe play reported:\n%s\n' "$2" "$1" >&2; cat "$scratch/play.json" >&2; exit 1; }
    echo "$3:" $(echo "$1" | tr '\n' ',')
}
expect "$(play --check)" "$(printf 'absent skipped\nalready skipped\nchanged skipped\nrefuses skipped')" "check mode"
grep -q "would install $deb" "$scratch/play.json"
[ ! -e "$scratch/changed/root/usr/sbin/pulse-autospawn-off" ]
expect "$(changed_counts)" "$(printf 'absent changed=0\nalready changed=0\nchanged changed=0\nrefuses changed=0')" "check mode's recap"
# The first run installs the package everywhere, and the tool changes one host.
expect "$(play)" "$(printf 'absent ok\nalready ok\nchanged changed\nrefuses failed')" "first run"
[ "$(cat "$scratch/changed/root/etc/pulse/client.conf")" = "autospawn = no" ]
[ -x "$scratch/changed/root/usr/sbin/pulse-autospawn-off" ] # from the group's package
expect "$(changed_counts)" "$(printf 'absent changed=1\nalready changed=1\nchanged changed=2')" "first run's recap"
cat "$scratch/recap"
# The same package, and nothing left for the tool to do: nothing changed, as a second run's
# recap must say (Molecule's idempotence check).
expect "$(play)" "$(printf 'absent ok\nalready ok\nchanged ok\nrefuses failed')" "second run"
expect "$(changed_counts)" "$(printf 'absent changed=0\nalready changed=0\nchanged changed=0')" "second run's recap"
cat "$scratch/recap"
# No copy of the package left: only what the plays wrote counts, which the overlay's upper layer
# holds (the root's own /tmp shows this machine's too).
for host in $hosts; do
    if [ -n "$(find "$scratch/$host/upper" -name '*pulse-autospawn-off*.deb' -print -quit)" ]; then
        echo "a copy of the package is left on $host" >&2
        exit 1
    fi
done
SCRIPT
