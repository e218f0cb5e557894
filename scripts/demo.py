"""The main job: SekwoAgent in the sandbox against the helpdesk stand-in.

It registers, heartbeats, keeps its control socket open, runs a shell command
a consultant queues; the menu bar application then starts beside it as a user
of a desktop under Xvfb, and its screenshots are saved; the daemon stops
cleanly, and the demo prints what the stand-in received and the daemon's log.
usage: scripts/demo.py BUILD_DIR
"""
import json
import pathlib
import signal
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tools" / "helpdesk-stand-in"))
sys.path.insert(0, str(ROOT / "scripts"))
from sandbox import Sandbox  # noqa: E402
from standin_client import HelpdeskStandIn  # noqa: E402
from desktop import Desktop  # noqa: E402
import screenshots  # noqa: E402

build = pathlib.Path(sys.argv[1]).resolve()
agent = build / "src" / "daemon" / "SekwoAgent"
menubar = build / "src" / "menubar" / "Sekwo Tarnvik"
settings_path = "/Library/Application Support/Sekwo Tarnvik/sekwo.settings.json"
state_path = "/Library/Application Support/Sekwo Tarnvik/sekwo.state.json"
log_path = "/Library/Logs/Sekwo Tarnvik/sekwo.log"


def wait(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    sys.exit(f"demo: timed out waiting for {what}")


def log(box):
    return box.read(log_path) if box.exists(log_path) else ""


work = build / "demo"
work.mkdir(exist_ok=True)
with HelpdeskStandIn(viewer_tokens=["DEMO-COMPANY"]) as server:
    print(f"== helpdesk stand-in at {server.url}")
    bundle = work / "ca-certificates.crt"
    bundle.write_text(pathlib.Path("/etc/ssl/certs/ca-certificates.crt").read_text() + "\n" +
                      pathlib.Path(server.ca).read_text())
    box = Sandbox(work / "sandbox", overlays=[(bundle, "/etc/ssl/certs/ca-certificates.crt")]).start()
    daemon = None
    try:
        box.write(settings_path, json.dumps({
            "serverBaseUrl": server.url + "/", "viewerToken": "DEMO-COMPANY", "auditIntervalMinutes": 360,
            "heartbeatIntervalSeconds": 300, "commandPollIntervalSeconds": 60, "chatPollIntervalSeconds": 2,
            "controlReconnectMaxSeconds": 30}, indent=2))
        daemon = box.popen([agent], cwd="/")
        print(f"== SekwoAgent {box.run([agent, '--version']).stdout.strip()} started in the sandbox")
        wait(lambda: "Heartbeat sent successfully" in log(box), 60, "registration")
        state = json.loads(box.read(state_path))
        uid = state["deviceUid"]
        print(f"== registered: device_uid={uid} support_id={state.get('supportId')}")
        server.wait_for_control(uid, timeout=20)
        print("== control WebSocket open; a consultant queues a shell command")
        server.queue_command(uid, {"command_type": "shell",
                                   "payload": {"shell": "bash", "command": "uname -sm; id -un; echo $0"}})
        done = server.wait_for("command-updates", status="completed", timeout=30)[0]

        print("== the menu bar starts beside it, as a desktop user under Xvfb")
        # The daemon created the log 0644; the user's lines (the ticket editor's
        # readiness among them) need it writable, as an installer leaves it.
        box.path(screenshots.LOG).chmod(0o666)
        desktop = Desktop(box, accessibility=True).start()
        try:
            shots = screenshots.capture(desktop, menubar, work / "screenshots")
        finally:
            desktop.stop()
        print(f"== screenshots of the menu bar in {work / 'screenshots'}:")
        for path in shots:
            print(f"   {path.name}")
        daemon.send_signal(signal.SIGTERM)
        print(f"== daemon stopped with exit code {daemon.wait(timeout=10)}")
        daemon = None

        print("\n== what the stand-in received")
        for r in server.requests():
            auth = r["headers"].get("authorization", "")
            scheme = auth.split(" ")[0] if auth else "none"
            print(f"   {r['method']:4} {r['raw_path'] if 'raw_path' in r else r['path']}  auth={scheme}  -> {r['status']}")
        inventory = server.list("inventories")[-1]["payload"]
        print(f"   inventory: {len(inventory)} keys, host {inventory['hostname']!r}, os {inventory['os_name']} "
              f"{inventory['os_version']}, {len(inventory['software'])} applications")
        result = done["result"]
        print(f"   shell result: exit_code={result['exit_code']} duration_ms={result['duration_ms']} "
              f"stdout={result['stdout']!r}")

        print("\n== /Library/Logs/Sekwo Tarnvik/sekwo.log")
        print(log(box), end="")
    finally:
        if daemon is not None:
            daemon.kill()
            daemon.wait()
        box.stop()
