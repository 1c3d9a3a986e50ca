#!/usr/bin/env bash
# Runs the example playbook for real against localhost (connection local) in a private mount
# namespace: /etc, /usr and /var are overlays whose changes land in a scratch directory, and
# /etc/pulse is a scratch directory, so the package install and the tool touch nothing real.
set -euo pipefail
source_dir=$1
deb=$(ls "$2"/pulse-autospawn-off_*.deb)
binary=$3
skip() { echo "SKIP: $*"; exit 77; }
command -v ansible-playbook >/dev/null || skip "ansible-playbook is not installed"
[ "$(id -u)" -eq 0 ] || skip "needs root for overlays and the package install"
unshare -m true 2>/dev/null || skip "no private mount namespace here"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export scratch source_dir deb binary
unshare -m bash -euo pipefail <<'SCRIPT'
# Overlay upper directories cannot live on an overlay, as / is in a container: use a tmpfs.
mount -t tmpfs tmpfs "$scratch"
for top in etc usr var; do
    mkdir -p "$scratch/$top.upper" "$scratch/$top.work"
    mount -t overlay overlay \
        -o "lowerdir=/$top,upperdir=$scratch/$top.upper,workdir=$scratch/$top.work" "/$top"
done
mkdir -p /etc/pulse "$scratch/pulse" "$scratch/home"
mount --bind "$scratch/pulse" /etc/pulse
export HOME=$scratch/home ANSIBLE_LOCAL_TEMP=$scratch/home/local ANSIBLE_REMOTE_TEMP=$scratch/home/remote
export ANSIBLE_STDOUT_CALLBACK=json ANSIBLE_NOCOLOR=1 ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3

# Prints changed, ok or failed: what the play made of the tool's run on localhost.
play() {
    ansible-playbook -i localhost, -c local -e ansible_become=false "$@" \
        "$source_dir/examples/ansible/playbook.yml" >"$scratch/play.json" || true
    python3 - "$scratch/play.json" <<'PY'
import json, sys
play = json.load(open(sys.argv[1]))
task = next(t for t in play["plays"][0]["tasks"] if t["task"]["name"] == "Switch autospawn off")
result = task["hosts"]["localhost"]
print("failed" if result.get("failed") else "changed" if result.get("changed") else "ok")
PY
}
expect() { # expected, then what play printed
    [ "$1" = "$2" ] || { echo "expected $1, the play reported $2" >&2; cat "$scratch/play.json" >&2; exit 1; }
    echo "play: $1 as expected"
}

printf '; autospawn = yes\n' >/etc/pulse/client.conf
expect changed "$(play -e pulse_autospawn_off_deb="$deb")"
[ "$(cat /etc/pulse/client.conf)" = "autospawn = no" ]
expect ok "$(play -e pulse_autospawn_off_deb="$deb")"
rm /etc/pulse/client.conf
expect ok "$(play -e pulse_autospawn_off_binary="$binary")"
printf '; autospawn = yes\n' >/etc/pulse/client.conf
mkdir /etc/pulse/client.conf.tmp
expect failed "$(play -e pulse_autospawn_off_binary="$binary")"
SCRIPT
