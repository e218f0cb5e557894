#!/usr/bin/python3
"""Stand-ins for the macOS tools the updater job uses, chosen by the name they
are called with: launchctl, installer, PlistBuddy, BSD stat, pkgutil, pkill,
pgrep, open. Every call is recorded as one JSON line in /tmp/kova-shims/calls;
files in that directory steer the answers:

  daemon-state        "running" (default) or anything else: what
                      "launchctl print system/pl.tarnvik.sekwo.daemon" reports
  bootstrap-exit      exit status of "launchctl bootstrap" (default 0)
  job-pid.<label>     the process a job that "bootstrap" started runs as; while
                      it lives "launchctl print system/<label>" reports it running
  job-exit.<label>    written when a job that "bootstrap" started has ended
  status-at-install   the update status file as "installer" found it
  installer-kill      when present, "installer" lays only the application over
                      the target and then kills the job's whole process group,
                      as a power loss half way through an installation would
"""
import json
import os
import plistlib
import signal
import subprocess
import sys

STATE = "/tmp/kova-shims"
STATUS = "/Library/Application Support/Sekwo Tarnvik/runtime/update-status.json"
UPDATER_LABEL = "pl.tarnvik.sekwo.updater"


def control(name, default=None):
    try:
        with open(os.path.join(STATE, name)) as f:
            return f.read().strip()
    except OSError:
        return default


def record(tool, args):
    os.makedirs(STATE, exist_ok=True)
    with open(os.path.join(STATE, "calls"), "a") as f:
        f.write(json.dumps([tool] + args) + "\n")


def launchctl(args):
    if not args:
        return 64
    if args[0] == "bootstrap" and len(args) >= 3:
        code = int(control("bootstrap-exit", "0"))
        if code != 0:
            return code
        try:
            with open(args[2], "rb") as f:
                job = plistlib.load(f)
        except (OSError, plistlib.InvalidFileException):
            return 5
        # Like launchd: only the updater job is started here; the daemon and the
        # menu bar are not run by these tests.
        if job.get("Label") == UPDATER_LABEL and job.get("RunAtLoad"):
            out = open(job.get("StandardOutPath", os.devnull), "ab")
            marker = os.path.join(STATE, "job-exit." + job["Label"])
            wrapper = 'status=0; "$@" || status=$?; echo "$status" > "$KOVA_SHIM_MARKER"'
            # launchd's environment: nothing but what the job asks for.
            env = {str(k): str(v) for k, v in job.get("EnvironmentVariables", {}).items()}
            env.update({"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "KOVA_SHIM_MARKER": marker})
            proc = subprocess.Popen(["/bin/sh", "-c", wrapper, "job"] + list(job["ProgramArguments"]),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out, cwd="/",
                                    start_new_session=True, env=env)
            with open(os.path.join(STATE, "job-pid." + job["Label"]), "w") as f:
                f.write(str(proc.pid))
        return 0
    if args[0] == "print" and len(args) >= 2:
        if args[1] == "system/pl.tarnvik.sekwo.daemon":
            running = control("daemon-state", "running") == "running"
        elif args[1] == "system/" + UPDATER_LABEL and control("job-pid." + UPDATER_LABEL):
            running = alive(int(control("job-pid." + UPDATER_LABEL)))
        else:
            return 113
        print("%s = {\n\tstate = %s\n}" % (args[1], "running" if running else "not running"))
        return 0
    return 0


def alive(pid):
    """True while the process runs (a zombie no one reaped has ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def installer(args):
    if len(args) != 4 or args[0] != "-pkg" or args[2] != "-target":
        print("installer: usage: installer -pkg PATH -target /", file=sys.stderr)
        return 1
    try:
        with open(STATUS) as f:
            snapshot = f.read()
        with open(os.path.join(STATE, "status-at-install"), "w") as f:
            f.write(snapshot)
    except OSError:
        pass
    # The test package format: a tar archive of the files to lay over the target.
    if control("installer-kill") is not None:
        subprocess.run(["/usr/bin/tar", "-xpf", args[1], "-C", args[3], "Applications"])
        os.killpg(os.getpgrp(), signal.SIGKILL)
    return subprocess.run(["/usr/bin/tar", "-xpf", args[1], "-C", args[3]]).returncode


def plistbuddy(args):
    if len(args) != 3 or args[0] != "-c" or not args[1].startswith("Print :"):
        return 1
    try:
        with open(args[2], "rb") as f:
            value = plistlib.load(f).get(args[1][len("Print :"):])
    except (OSError, plistlib.InvalidFileException):
        print('Print: Entry, ":%s", Does Not Exist' % args[1], file=sys.stderr)
        return 1
    if value is None:
        return 1
    print(value)
    return 0


def bsd_stat(args):
    if len(args) != 3 or args[0] != "-f":
        print("stat: only -f FORMAT FILE", file=sys.stderr)
        return 1
    import pwd
    try:
        st = os.stat(args[2])
    except OSError as error:
        print("stat: %s: %s" % (args[2], error.strerror), file=sys.stderr)
        return 1
    formats = {"%z": str(st.st_size), "%u": str(st.st_uid)}
    try:
        formats["%Su"] = pwd.getpwuid(st.st_uid).pw_name
    except KeyError:
        formats["%Su"] = str(st.st_uid)
    if args[1] not in formats:
        return 1
    print(formats[args[1]])
    return 0


def main():
    tool = os.path.basename(sys.argv[0])
    args = sys.argv[1:]
    record(tool, args)
    if tool == "launchctl":
        return launchctl(args)
    if tool == "installer":
        return installer(args)
    if tool == "PlistBuddy":
        return plistbuddy(args)
    if tool == "stat":
        return bsd_stat(args)
    if tool in ("pkill", "pgrep"):
        return 1  # nothing matched: these tests share the machine's processes
    return 0  # pkgutil, open


if __name__ == "__main__":
    sys.exit(main())
