#!/usr/bin/env bash
# Runs the example playbook over seven hosts at once: private roots made from overlays of this
# machine's, reached by the chroot connection, each with its own /etc and /run on a tmpfs (so
# that check mode's overlays of them stack), whose changes land in a tmpfs. Check mode first,
# twice, then for real, twice; then the undo on two of them, twice. The inventory's group variable names the
# package, so it must reach the role.
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
hosts="absent already changed refuses rewrites sysvinit unpredictable"
for host in $hosts; do
    root=$scratch/$host/root
    mkdir -p "$scratch/$host/upper" "$scratch/$host/work" "$root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/$host/upper,workdir=$scratch/$host/work" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=755 tmpfs "$root/run"
    mount -t tmpfs -o mode=755 tmpfs "$root/etc"
    cp -a /etc/. "$root/etc/"
    # A local package needs only what is installed: without this machine's package lists and
    # their cache, each host's apt starts in a moment instead of seconds.
    mount -t tmpfs tmpfs "$root/var/lib/apt/lists"
    mount -t tmpfs tmpfs "$root/var/cache/apt"
    rm -rf "$root/etc/pulse" "$root/etc/systemd/user"
    mkdir "$root/etc/pulse"
done
etc() { echo "$scratch/$1/root/etc/pulse"; }
printf '; autospawn = yes\n' >"$(etc changed)/client.conf"
mkdir "$scratch/changed/root/etc/systemd/user" # where the units are masked
printf 'autospawn = no\n' >"$(etc already)/client.conf"
rmdir "$(etc absent)"
printf '; autospawn = yes\n' >"$(etc refuses)/client.conf"
mkdir "$(etc refuses)/client.conf.tmp"
# A drop-in read after the tool's own, in every locale: rewritten.
cp "$source_dir/tests/stock-client.conf" "$(etc rewrites)/client.conf"
mkdir "$(etc rewrites)/client.conf.d"
printf 'autospawn = yes\n' >"$(etc rewrites)/client.conf.d/zzz-site.conf"
# Debian's sysvinit layout, with the own drop-in as 1.5.0 left it: Czech and Slovak clients
# read it before 01-enable-autospawn.conf.
cp "$source_dir/tests/stock-client.conf" "$(etc sysvinit)/client.conf"
mkdir "$(etc sysvinit)/client.conf.d"
ln -s /run/pulseaudio-enable-autospawn "$(etc sysvinit)/client.conf.d/01-enable-autospawn.conf"
echo autospawn=yes >"$scratch/sysvinit/root/run/pulseaudio-enable-autospawn"
printf 'autospawn = no\n' >"$(etc sysvinit)/client.conf.d/zz-pulse-autospawn-off.conf"
# No unshare: check mode cannot predict.
printf '; autospawn = yes\n' >"$(etc unpredictable)/client.conf"
rm "$scratch/unpredictable/root/usr/bin/unshare"

mkdir -p "$scratch/inventory/group_vars" "$scratch/home"
{
    echo "[desktops]"
    for host in $hosts; do echo "$host ansible_host=$scratch/$host/root"; done
    echo "[desktops:vars]"
    echo "ansible_connection=community.general.chroot"
    echo "ansible_python_interpreter=/usr/bin/python3"
} >"$scratch/inventory/hosts"
echo "pulse_autospawn_off_deb: $deb" >"$scratch/inventory/group_vars/desktops.yml"
export HOME=$scratch/home ANSIBLE_LOCAL_TEMP=$scratch/home/local ANSIBLE_NOCOLOR=1 ANSIBLE_FORKS=7

# Runs the play; with the json callback, prints "host outcome changes…" for the tool's task (its
# outcome: changed, ok, failed, or skipped with the reason), and writes the recap as users read
# it to $scratch/recap.
play() {
    echo "$(date +%s) play $*" >&2; ansible-playbook -i "$scratch/inventory/hosts" -e ansible_become=false "$@" \
        "$source_dir/examples/ansible/playbook.yml" >"$scratch/play.json" || true
    python3 - "$scratch/play.json" "$scratch/recap" <<'PY'
import json, sys
play = json.load(open(sys.argv[1]))
tasks = [t for t in play["plays"][0]["tasks"] if t["task"]["name"].endswith(": Switch autospawn off")]
for host, result in sorted(tasks[0]["hosts"].items() if tasks else ()):
    outcome = ("failed" if result.get("failed") else
               "skipped:" + result.get("msg", "").replace(" ", "_") if result.get("skipped")
               else "changed" if result.get("changed") else "ok")
    print(host, outcome, *result.get("changes", []))
with open(sys.argv[2], "w") as recap:
    for host, stats in sorted(play["stats"].items()):
        print(host, *(f"{key}={stats[key]}" for key in ("ok", "changed", "failures", "skipped")),
              file=recap)
PY
}
json_play() { ANSIBLE_STDOUT_CALLBACK=json play "$@"; }
# The recap's changed count of each host that did not fail, as "host changed=N".
changed_counts() {
    awk '$4 == "failures=0" { print $1, $3 }' "$scratch/recap"
}
fail() { printf '%s\n' "$@" >&2; cat "$scratch/play.json" >&2; exit 1; }
expect() { # what the play printed, then what was expected
    [ "$1" = "$2" ] || fail "expected:" "$2" "the play reported:" "$1"
    echo "$3:" $(echo "$1" | tr '\n' ',')
}
# What each host holds that a run could change: its /etc and /run, and the files the plays
# wrote elsewhere (the overlay's upper layer; its directories are copies made to hold them), but
# Ansible's own.
state() {
    for host in $hosts; do
        (cd "$scratch/$host" && find root/etc root/run root/var/cache/apt upper \
            -path upper/root/.ansible -prune -o -path 'upper/*' -type d -o \
            -printf '%p %y %m %U %G %l\n' | sort &&
            find root/etc root/run -type f -exec md5sum {} + | sort -k2) | sed "s|^|$host |"
    done
}
# The paths under /etc that differ between two states of one host.
changed_paths() {
    { diff <(grep "^$1 " "$2") <(grep "^$1 " "$3") || true; } |
        awk '/^[<>]/ { for (i = 3; i <= NF; i++) if ($i ~ /^root\/etc\//) print substr($i, 5) }' |
        sort -u
}

# Check mode: each host as the real run will report it, with --diff what would change; nothing
# on any host changes, and a second run predicts the same.
state >"$scratch/fresh"
ANSIBLE_STDOUT_CALLBACK=default ansible-playbook -i "$scratch/inventory/hosts" -e ansible_become=false \
    --check --diff "$source_dir/examples/ansible/playbook.yml" | tee "$scratch/check.txt" || true
grep -q '^+++ after: /etc/pulse/client.conf.d/99-pulse-autospawn-off.conf' "$scratch/check.txt"
grep -q '"src": "/dev/null"' "$scratch/check.txt"
predicted=$(json_play --check --diff)
# The first run's outcomes, as its output says them, are the second's.
[ "$(sed -n '/^TASK \[pulse_autospawn_off : Switch autospawn off\]/,/^TASK/s/^\([a-z]*\): \[\([a-z]*\)\].*/\2 \1/p' \
        "$scratch/check.txt" | sed 's/ fatal$/ failed/; s/ skipping$/ skipped/' | sort)" = \
    "$(echo "$predicted" | cut -d' ' -f1,2 | sed 's/ skipped:.*/ skipped/')" ] ||
    fail "a second check predicts otherwise"
unpredictable="unpredictable skipped:cannot_predict:_there_is_no_unshare_command_here"
expect "$(echo "$predicted" | cut -d' ' -f1,2)" "$(printf 'absent ok\nalready ok\nchanged changed\nrefuses failed\nrewrites changed\nsysvinit changed\n%s' "$unpredictable")" "check mode"
expect "$(changed_counts)" "$(printf 'absent changed=1\nalready changed=1\nchanged changed=2\nrewrites changed=2\nsysvinit changed=2\nunpredictable changed=1')" "check mode's recap"
state >"$scratch/checked"
diff "$scratch/fresh" "$scratch/checked" || fail "check mode left the above on the hosts"
echo "$predicted"

# The real run: each predicted host as predicted, its /etc changed exactly where predicted.
expect "$(json_play | cut -d' ' -f1,2)" "$(printf 'absent ok\nalready ok\nchanged changed\nrefuses failed\nrewrites changed\nsysvinit changed\nunpredictable changed')" "first run"
state >"$scratch/run"
echo "$predicted" | while read -r host outcome changes; do
    [ "$outcome" = "${unpredictable#* }" ] && continue
    real=$(changed_paths "$host" "$scratch/checked" "$scratch/run")
    [ "$real" = "$(printf '%s\n' $changes | sort)" ] ||
        fail "$host: predicted changes: $changes" "real changes: $real"
done
[ "$(cat "$(etc changed)/client.conf")" = "autospawn = no" ]
[ -x "$scratch/changed/root/usr/sbin/pulse-autospawn-off" ] # from the group's package
expect "$(changed_counts)" "$(printf 'absent changed=1\nalready changed=1\nchanged changed=2\nrewrites changed=2\nsysvinit changed=2\nunpredictable changed=2')" "first run's recap"
cat "$scratch/recap"
# The same package, and nothing left for the tool to do: nothing changed, as a second run's
# recap must say (Molecule's idempotence check).
expect "$(json_play | cut -d' ' -f1,2)" "$(printf 'absent ok\nalready ok\nchanged ok\nrefuses failed\nrewrites ok\nsysvinit ok\nunpredictable ok')" "second run"
expect "$(changed_counts)" "$(printf 'absent changed=0\nalready changed=0\nchanged changed=0\nrewrites changed=0\nsysvinit changed=0\nunpredictable changed=0')" "second run's recap"
cat "$scratch/recap"
# No copy of the package left: only what the plays wrote counts, which the overlay's upper layer
# holds (the root's own /tmp shows this machine's too).
for host in $hosts; do
    if [ -n "$(find "$scratch/$host/upper" -name '*pulse-autospawn-off*.deb' -print -quit)" ]; then
        echo "a copy of the package is left on $host" >&2
        exit 1
    fi
done

# The undo gives the changed hosts' files back as they were, and then has nothing to do.
undo() { json_play -e pulse_autospawn_off_undo=true --limit changed,sysvinit >/dev/null; }
undo
[ "$(cat "$(etc changed)/client.conf")" = "; autospawn = yes" ]
[ -z "$(ls -A "$scratch/changed/root/etc/systemd/user")" ]
[ "$(ls "$(etc sysvinit)/client.conf.d")" = "01-enable-autospawn.conf" ]
expect "$(changed_counts)" "$(printf 'changed changed=3\nsysvinit changed=2')" "undo's recap"
undo
expect "$(changed_counts)" "$(printf 'changed changed=0\nsysvinit changed=0')" "second undo's recap"
SCRIPT
