#!/usr/bin/env /usr/bin/python3
"""A long run of the daemon and the menu bar together in the sandbox against
the helpdesk stand-in, under steady work: device commands (shell, file list),
consultant messages that the daemon hands to the menu bar's chat window,
heartbeats and control pings. Every interval it samples each process's
proportional and private memory (smaps_rollup), threads and descriptors, and
prints the samples and, per process, the first (after warm-up), the last and
the highest value. A process that leaks shows it as a climb from first to last.

usage: bench/soak.py BUILD_DIR [SECONDS] [INTERVAL]
"""
import json
import pathlib
import signal
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tools" / "helpdesk-stand-in"))
from conftest import LOG, SETTINGS, STATE, SYSTEM_CA_BUNDLE, settings_json, trusting_bundle  # noqa: E402
from desktop import Desktop, wait_for  # noqa: E402
from sandbox import Sandbox  # noqa: E402
from standin_client import HelpdeskStandIn  # noqa: E402

CHAT_DIR = "/Users/Shared/Sekwo Tarnvik/remote-chat"


def sample(pid):
    """(PSS kB, private kB, threads, descriptors) of a running process."""
    fields = {}
    for line in pathlib.Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines()[1:]:
        name, value = line.split(":", 1)
        fields[name] = int(value.split()[0])
    threads = next(int(line.split()[1]) for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines()
                   if line.startswith("Threads:"))
    descriptors = len(list(pathlib.Path(f"/proc/{pid}/fd").iterdir()))
    return fields["Pss"], fields["Private_Clean"] + fields["Private_Dirty"], threads, descriptors


def work(server, uid, step):
    """One round of what a consultant and the server ask of the Mac."""
    kind = step % 3
    if kind == 0:
        server.queue_command(uid, {"command_type": "shell", "payload": {"command": f"echo soak {step}; ls /tmp"}})
    elif kind == 1:
        server.queue_command(uid, {"command_type": "file_list", "payload": {"path": "/tmp"}})
    else:
        server.queue_command(uid, {"command_type": "user_notify",
                                   "payload": {"title": "Uwaga", "message": f"Wiadomosc {step} " + "x" * 200}})


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 600
    interval = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    menubar = build / "src" / "menubar" / "Sekwo Tarnvik"
    rows = []
    with HelpdeskStandIn() as server, tempfile.TemporaryDirectory(dir=build) as scratch:
        scratch = pathlib.Path(scratch)
        box = Sandbox(scratch / "sb", overlays=[(trusting_bundle(scratch, server.ca), SYSTEM_CA_BUNDLE)]).start()
        daemon = desktop = app = None
        try:
            box.write(SETTINGS, settings_json(url=server.url, token="ACME", heartbeatIntervalSeconds=30,
                                              commandPollIntervalSeconds=30))
            box.run(["install", "-d", "-m", "0755", CHAT_DIR.rsplit("/", 1)[0]]).check_returncode()
            box.run(["install", "-d", "-m", "0777", CHAT_DIR]).check_returncode()
            daemon = box.popen([build / "src" / "daemon" / "SekwoAgent"], cwd="/")
            wait_for(lambda: box.exists(LOG) and "Heartbeat sent successfully" in box.read(LOG), 30, "a heartbeat")
            uid = json.loads(box.read(STATE))["deviceUid"]
            server.wait_for_control(uid, timeout=15)
            desktop = Desktop(box).start()
            app = desktop.launch([menubar, "--menubar"])
            wait_for(lambda: app.poll() is not None or desktop.tray_icons(), 20, "the tray icon")
            print(f"soak of {seconds} s, a sample every {interval} s; memory in MB", flush=True)
            print(f"{'t (s)':>6} {'daemon PSS':>10} {'private':>8} {'thr':>4} {'fds':>4}   "
                  f"{'menu PSS':>9} {'private':>8} {'thr':>4} {'fds':>4} {'commands':>9}", flush=True)
            began = time.monotonic()
            step = next_sample = 0
            while (elapsed := time.monotonic() - began) < seconds:
                work(server, uid, step)
                step += 1
                if elapsed >= next_sample:
                    if daemon.poll() is not None or app.poll() is not None:
                        raise SystemExit("a process ended during the soak")
                    row = (elapsed, *sample(daemon.pid), *sample(app.pid), step)
                    rows.append(row)
                    d, m = row[1:5], row[5:9]
                    print(f"{elapsed:6.0f} {d[0] / 1024:10.1f} {d[1] / 1024:8.1f} {d[2]:4d} {d[3]:4d}   "
                          f"{m[0] / 1024:9.1f} {m[1] / 1024:8.1f} {m[2]:4d} {m[3]:4d} {step:9d}", flush=True)
                    next_sample += interval
                time.sleep(1)
            done = len(server.list("command-updates"))
        finally:
            if app is not None:
                app.kill()
                app.wait()
            if desktop is not None:
                desktop.stop()
            if daemon is not None:
                daemon.send_signal(signal.SIGTERM)
                daemon.wait(10)
            box.stop()
    print(f"{step} commands queued, {done} command updates reported")
    # The first sample is taken before any work; the second is the warmed-up base.
    base = rows[1] if len(rows) > 2 else rows[0]
    names = ["daemon PSS", "daemon private", "daemon threads", "daemon fds",
             "menu bar PSS", "menu bar private", "menu bar threads", "menu bar fds"]
    print(f"{'':18} {'warm':>8} {'last':>8} {'highest':>8}")
    for index, name in enumerate(names, start=1):
        scale = 1024 if "PSS" in name or "private" in name else 1
        values = [row[index] / scale for row in rows]
        print(f"{name:18} {base[index] / scale:8.1f} {values[-1]:8.1f} {max(values):8.1f}")


if __name__ == "__main__":
    main()
