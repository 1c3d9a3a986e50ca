#!/usr/bin/python
# Runs pulse-autospawn-off and reports the host from its one sentence; in check mode, runs it
# over throw-away overlays of /etc and /run in a private mount namespace and reports what it
# would do, with the files it would change.
import io
import os
import re
import shutil
import tarfile
import tempfile

from ansible.module_utils.basic import AnsibleModule

DOCUMENTATION = r"""
module: pulse_autospawn_off
short_description: Switch off PulseAudio's automatic start, or say what that would change
description:
  - Runs pulse-autospawn-off. The host is changed when the tool says it disabled autospawn, ok
    when it was off already or PulseAudio is not installed, and failed on any other output.
  - In check mode the tool runs in a private mount namespace over throw-away overlays of /etc
    and /run, everything else read-only, and the host is reported as the real run would report
    it; with --diff, each file that would be rewritten or made and each unit that would be
    masked is shown. Where that namespace cannot be had, the host is skipped as "cannot
    predict", with the reason.
options:
  executable:
    description: The tool, where it is installed (or, in check mode, where a copy of it is).
    type: path
    required: true
  package:
    description: In check mode, a .deb on the host to take the executable from instead.
    type: path
"""

RETURN = r"""
sentence:
  description: What the tool said (its last line).
  type: str
  returned: when it ran
changes:
  description: In check mode, the paths that the run would change, in order.
  type: list
  elements: str
  returned: when predicted
"""

CHANGED = "Pulseaudio autostart is disabled. Please reboot the computer!"
OK = (
    "Pulseaudio autostart has been disabled before. It's all right.",
    "Pulseaudio is not installed. It's all right.",
)
# The tool writes only in these directories, where they really are, and takes its lock in /run.
WORK_DIRECTORIES = ("/etc/pulse", "/etc/pulse/client.conf.d", "/etc/systemd/user")
OVERLAID = ("/etc", "/run")
LOCK = "/run/pulse-autospawn-off.lock"

# Run in a new mount namespace, which goes with the process: every mount read-only, then /etc
# and /run overlaid with upper layers on a tmpfs. Prints the tool's words, then a tar of the
# upper layers (what it changed), separated by a form feed.
DRY_RUN = r"""
set -eu
layers=$1 tool=$2
shift 2
for point; do
    mount -n -o remount,bind,ro "$point" || { echo "cannot make $point read-only" >&2; exit 3; }
done
mount -n -t tmpfs -o mode=0700 tmpfs "$layers"
for dir in etc run; do
    mkdir "$layers/$dir" "$layers/$dir.work"
    mount -n -t overlay overlay \
        -o "lowerdir=/$dir,upperdir=$layers/$dir,workdir=$layers/$dir.work" "/$dir" ||
        { echo "cannot mount an overlay of /$dir" >&2; exit 3; }
done
"$tool" </dev/null
printf '\f'
tar -C "$layers" -cf - etc run
"""


def mount_points():
    """Every mount point of this namespace, shallowest first, but /proc's and /sys's."""
    points = set()
    with open("/proc/self/mountinfo", "rb") as table:
        for line in table:
            # Spaces, tabs, newlines and backslashes are written as octal escapes.
            point = os.fsdecode(re.sub(rb"\\([0-7]{3})", lambda m: bytes([int(m[1], 8)]),
                                       line.split()[4]))
            if not any(point == top or point.startswith(top + "/") for top in ("/proc", "/sys")):
                points.add(point)
    return sorted(points, key=lambda point: (point.count("/"), point))


def outside_overlays(path):
    return not any(path == top or path.startswith(top + "/") for top in OVERLAID)


def sentence_of(output):
    lines = [line for line in output.splitlines() if line]
    return lines[-1] if lines else ""


def judge(sentence):
    """changed, failed"""
    if sentence == CHANGED:
        return True, False
    return False, sentence not in OK


def host_state(path):
    """What is at path now, as a diff shows it."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return {"path": path, "state": "absent"}
    if os.path.islink(path):
        return {"path": path, "state": "link", "src": os.readlink(path)}
    return {"path": path, "state": "directory" if os.path.isdir(path) else "file",
            "mode": "%04o" % (info.st_mode & 0o7777), "owner": info.st_uid, "group": info.st_gid}


def upper_state(member):
    """What the dry run left at a path, as a diff shows it."""
    path = "/" + member.name
    if member.ischr() and member.devmajor == 0 and member.devminor == 0:
        return {"path": path, "state": "absent"}  # overlayfs's mark of a removal
    if member.issym():
        return {"path": path, "state": "link", "src": member.linkname}
    return {"path": path, "state": "directory" if member.isdir() else "file",
            "mode": "%04o" % member.mode, "owner": member.uid, "group": member.gid}


def text_of(path):
    """The bytes a reader gets at path, through links, as text; none where it cannot read."""
    try:
        with open(path, "rb") as current:
            return current.read().decode("utf-8", "replace")
    except OSError:
        return ""


def changes_in(archive):
    """The paths the dry run changed, and a diff for each, from the tar of the upper layers."""
    paths, diffs = [], []
    with tarfile.open(fileobj=io.BytesIO(archive)) as upper:
        for member in upper.getmembers():
            path = "/" + member.name
            if path in OVERLAID or path == LOCK:
                continue
            before, after = host_state(path), upper_state(member)
            if member.isdir() and before["state"] == "directory":
                continue  # copied up only to hold what changed inside it
            if member.isfile():
                old = text_of(path)
                new = upper.extractfile(member).read().decode("utf-8", "replace")
                if old == new and before == after:
                    continue  # opened for writing, left as it was
                if old != new:
                    header = path + (" (absent)" if before["state"] == "absent" else "")
                    diffs.append({"before_header": header, "after_header": path,
                                  "before": old, "after": new})
            # A new file's text says it all; its owner and mode are the tool's rule.
            if before != after and not (member.isfile() and before["state"] == "absent"):
                diffs.append({"before": before, "after": after})
            paths.append(path)
    return paths, diffs


def predict(module, executable, package):
    def cannot(why):
        module.exit_json(changed=False, skipped=True, msg="cannot predict: " + why)

    if os.geteuid() != 0:
        cannot("a private mount namespace needs root (become: true)")
    unshare = module.get_bin_path("unshare")
    if unshare is None:
        cannot("there is no unshare command here")
    for directory in WORK_DIRECTORIES:
        where = os.path.realpath(directory)
        if os.path.isdir(directory) and outside_overlays(where):
            cannot("%s leads to %s, outside the overlaid %s" % (directory, where,
                                                             " and ".join(OVERLAID)))
    scratch = tempfile.mkdtemp(dir=module.tmpdir)
    try:
        if package:
            root = os.path.join(scratch, "package")
            module.run_command(["dpkg-deb", "-x", package, root], check_rc=True)
            executable = root + executable
        layers = os.path.join(scratch, "layers")
        os.mkdir(layers)
        rc, out, err = module.run_command(
            [unshare, "--mount", "--propagation", "private", "sh", "-c", DRY_RUN, "sh", layers,
             executable] + mount_points(), encoding=None)
    finally:
        shutil.rmtree(scratch)
    words, _, archive = out.partition(b"\f")
    if rc != 0:
        cannot(err.decode("utf-8", "replace").strip() or "the dry run failed (%d)" % rc)
    said = sentence_of(words.decode("utf-8", "replace"))
    changed, failed = judge(said)
    paths, diffs = changes_in(archive) if changed else ([], [])
    module.exit_json(changed=changed, failed=failed, msg=said or "no sentence", sentence=said,
                     changes=paths, diff=diffs)


def main():
    module = AnsibleModule(
        argument_spec={"executable": {"type": "path", "required": True},
                       "package": {"type": "path"}},
        supports_check_mode=True)
    if module.check_mode:
        predict(module, module.params["executable"], module.params["package"])
    rc, out, err = module.run_command([module.params["executable"]])
    said = sentence_of(out)
    changed, failed = judge(said)
    module.exit_json(changed=changed, failed=failed or rc != 0, msg=said or err or "no sentence",
                     sentence=said)


if __name__ == "__main__":
    main()
