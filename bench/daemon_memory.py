#!/usr/bin/env /usr/bin/python3
"""Resident memory of the daemon: idle after start-up, and the peak while a
shell command floods its output (`timeout 8 yes`) and while the server sends
a pending list that never ends. Prints one line per case.

usage: bench/daemon_memory.py [BUILD_DIR]
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
from sandbox import Sandbox  # noqa: E402
from standin_client import HelpdeskStandIn  # noqa: E402

build = pathlib.Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else ROOT / "build" / "release"


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def peak_until(pid, done, limit=60):
    peak, start = 0.0, time.monotonic()
    while time.monotonic() - start < limit and not done():
        peak = max(peak, rss_mb(pid))
        time.sleep(0.1)
    return peak


with HelpdeskStandIn() as server, tempfile.TemporaryDirectory(dir=build) as work:
    work = pathlib.Path(work)
    bundle = trusting_bundle(work, server.ca)
    box = Sandbox(work / "sb", overlays=[(bundle, SYSTEM_CA_BUNDLE)]).start()
    daemon = None
    try:
        box.write(SETTINGS, settings_json(url=server.url, token="ACME", commandPollIntervalSeconds=600))
        daemon = box.popen([build / "src" / "daemon" / "SekwoAgent"], cwd="/")
        while not (box.exists(LOG) and "Heartbeat sent successfully" in box.read(LOG)):
            time.sleep(0.2)
        uid = json.loads(box.read(STATE))["deviceUid"]
        server.wait_for_control(uid, timeout=15)
        time.sleep(5)
        print(f"idle after start-up: {rss_mb(daemon.pid):.1f} MB")

        queued = server.queue_command(uid, {"command_type": "shell", "payload": {"command": "timeout 8 yes"}})
        peak = peak_until(daemon.pid, lambda: server.list("command-updates", command_id=queued["id"]))
        print(f"peak during `timeout 8 yes`: {peak:.1f} MB, after: {rss_mb(daemon.pid):.1f} MB")

        server.endless_body(f"/api/agent/devices/{uid}/commands/pending")
        server.send_control(uid, message={"type": "agent_command.queued"})
        peak = peak_until(daemon.pid, lambda: "Command polling failed" in box.read(LOG))
        time.sleep(1)
        print(f"peak during an endless pending list: {peak:.1f} MB, after: {rss_mb(daemon.pid):.1f} MB")
    finally:
        if daemon is not None:
            daemon.send_signal(signal.SIGTERM)
            daemon.wait(10)
        box.stop()
