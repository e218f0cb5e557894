"""The daemon against a hostile server and hostile settings: documents that
would crash it, answers that would eat its memory, forged tokens and
identifiers, and stops in the middle of work."""
import json
import signal
import time

import pytest

from conftest import BUILD_DIR, LOG, STATE, Daemon, log_text, wait_until

MARKER = "\n...[output truncated by Sekwo Tarnvik]..."
# Sanitizer builds keep shadow memory and freed blocks: their resident size says nothing.
SANITIZED = BUILD_DIR.name in ("asan", "tsan")


def peak_rss_mb(proc):
    with open(f"/proc/{proc.pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmHWM")


def nested(levels):
    return "[" * levels + "]" * levels


@pytest.fixture
def running(agent_box, standin, agent_binary):
    """A registered daemon with its control socket open; yields (uid, daemon)."""
    started = []

    def start(**settings):
        agent_box.configure(**dict(dict(commandPollIntervalSeconds=600), **settings))
        daemon = Daemon(agent_box, agent_binary).start()
        started.append(daemon)
        wait_until(lambda: "Heartbeat sent successfully" in log_text(agent_box), what="registration")
        uid = json.loads(agent_box.read(STATE))["deviceUid"]
        standin.wait_for_control(uid, timeout=15)
        return uid, daemon
    yield start
    for daemon in started:
        daemon.stop()


def run_shell(standin, uid, command, **payload):
    queued = standin.queue_command(uid, {"command_type": "shell", "payload": dict(command=command, **payload)})
    cid = queued["id"]
    return standin.wait_for("command-updates", command_id=cid, timeout=60)[0]


def test_deeply_nested_documents_are_refused(agent_box, standin, running):
    uid, daemon = running()
    pending = f"/api/agent/devices/{uid}/commands/pending"
    bomb = '[{"id": 1, "command_type": "shell", "payload": {"command": "id", "x": ' + nested(100000) + "}}]"
    standin.fail_with_status(pending, 200, body=bomb)
    standin.send_control(uid, message={"type": "agent_command.queued"})
    wait_until(lambda: "nested deeper than 128 levels" in log_text(agent_box), what="refused pending list")
    assert "Command polling failed: The pending commands response could not be decoded" in log_text(agent_box)

    session = '{"type": "remote_session.requested", "session": {"public_id": "rs-1", "metadata": '
    standin.send_control(uid, raw=session + nested(100000) + "}}")
    wait_until(lambda: "Control WSS disconnected: The WebSocket message could not be decoded" in log_text(agent_box),
               what="refused control message")
    # A deep but bounded document still works; the daemon lived through it all.
    standin.wait_for_control(uid, timeout=15)
    update = run_shell(standin, uid, "echo alive", depth=json.loads(nested(120)))
    assert daemon.proc.poll() is None and update["result"]["stdout"] == "alive\n"


def test_shell_output_is_kept_by_bytes_while_drained(agent_box, standin, running):
    uid, daemon = running()
    # 400 MB of output: drained to the end, but only the result's share is held.
    flood = run_shell(standin, uid, "yes | head -c 400000000; echo done >&2")
    assert flood["status"] == "completed"
    assert flood["result"]["stdout"] == "y\n" * 100000 + MARKER and flood["result"]["stderr"] == "done\n"
    peak = peak_rss_mb(daemon.proc)
    print(f"\npeak resident memory after 400 MB of output: {peak:.1f} MB")
    assert SANITIZED or peak < 150
    # One grapheme cluster of five million combining marks is cut by bytes too.
    marks = run_shell(standin, uid, "printf a; head -c 10000000 /dev/zero | tr '\\0' x | sed 's/x/\\xcc\\x81/g'",
                      max_output_chars=1000)
    out = marks["result"]["stdout"]
    assert out.startswith("a\u0301") and out.endswith(MARKER) and len(out.encode()) <= 8000 + len(MARKER)


def test_endless_body_fails_the_request(agent_box, standin, running):
    uid, daemon = running()
    standin.endless_body(f"/api/agent/devices/{uid}/commands/pending")
    standin.send_control(uid, message={"type": "agent_command.queued"})
    wait_until(lambda: "larger than 64 MiB" in log_text(agent_box), timeout=30, what="refused body")
    peak = peak_rss_mb(daemon.proc)
    print(f"\npeak resident memory after an endless body: {peak:.1f} MB")
    assert SANITIZED or peak < 300
    assert run_shell(standin, uid, "echo after")["result"]["stdout"] == "after\n"


def test_huge_intervals_mean_very_long(agent_box, standin, agent_binary):
    agent_box.configure(heartbeatIntervalSeconds=10000000000, auditIntervalMinutes=200000000,
                        commandPollIntervalSeconds=9223372036854775807)
    daemon = Daemon(agent_box, agent_binary).start()
    try:
        wait_until(lambda: "Heartbeat sent successfully" in log_text(agent_box), what="start-up")
        time.sleep(4)
    finally:
        daemon.stop()
    assert len(standin.list("inventories")) == 1 and len(standin.list("heartbeats")) == 1
    assert not standin.control_messages(type="heartbeat")
    polls = standin.requests(path_prefix="/api/agent/devices/", method="GET")
    assert not [r for r in polls if "command_type" not in r["query"]]


def test_one_id_twice_in_a_list_runs_once(agent_box, standin, running):
    uid, daemon = running()
    command = {"id": 7, "command_type": "shell", "payload": {"command": "echo ran >> /tmp/dup-runs"}}
    standin.queue_command(uid, command, notify=False)
    standin.fail_with_status(f"/api/agent/devices/{uid}/commands/pending", 200, body=[command, command])
    standin.send_control(uid, message={"type": "agent_command.queued"})
    standin.wait_for("command-updates", command_id=7, timeout=30)
    time.sleep(1)
    assert agent_box.read("/tmp/dup-runs") == "ran\n"
    assert len(standin.list("command-updates", command_id=7)) == 1


def test_a_token_with_line_breaks_is_no_token(agent_box, standin, agent_binary):
    register = "/api/agent/devices/register"
    # A token with a line break would become a second header line.
    standin.fail_with_status(register, 200, body={"device_uid": "mac-evil", "support_id": "S-1",
                                                  "device_token": "dt_ok\r\nX-Injected: 1"})
    assert agent_box.run([agent_binary, "--once"], cwd="/").returncode == 0
    state = json.loads(agent_box.read(STATE))
    assert "deviceToken" not in state and state["deviceUid"] == "mac-evil"
    assert not [r for r in standin.requests() if "x-injected" in r["headers"]]
    log = log_text(agent_box)
    assert "[WARN] The server sent an invalid device token" in log and "dt_ok" not in log


def test_blank_identifiers_mean_not_registered(agent_box, standin, agent_binary):
    register = "/api/agent/devices/register"
    standin.fail_with_status(register, 200, body={"device_uid": " ", "support_id": "", "public_id": "",
                                                  "device_token": ""})
    assert agent_box.run([agent_binary, "--once"], cwd="/").returncode == 0
    state = json.loads(agent_box.read(STATE))
    assert state["deviceUid"].strip() and "supportId" not in state
    agent_box.path(LOG).unlink()
    daemon = Daemon(agent_box, agent_binary).start()
    try:
        wait_until(lambda: "Heartbeat sent successfully" in log_text(agent_box), what="start-up")
    finally:
        daemon.stop()
    assert "Inventory sent successfully. reason=initial_registration" in log_text(agent_box)
    assert json.loads(agent_box.read(STATE))["supportId"]


def test_stop_during_a_hanging_request_is_no_connection_issue(agent_box, standin, agent_binary):
    standin.delay("/api/agent/devices/register", seconds=60)
    daemon = Daemon(agent_box, agent_binary).start()
    standin.wait_for_requests(path="/api/agent/devices/register", timeout=15)
    daemon.proc.send_signal(signal.SIGTERM)
    assert daemon.proc.wait(timeout=10) == 0
    log = log_text(agent_box)
    assert "[ERROR]" not in log and "Inventory send interrupted: the agent is stopping." in log
    state = json.loads(agent_box.read(STATE)) if agent_box.exists(STATE) else {}
    assert "connectionIssue" not in state


def test_stop_during_a_shell_command_reports_it_failed(agent_box, standin, running):
    uid, daemon = running()
    queued = standin.queue_command(uid, {"command_type": "shell",
                                         "payload": {"command": "touch /tmp/started; sleep 30"}})
    wait_until(lambda: agent_box.exists("/tmp/started"), what="command started")
    sent = time.monotonic()
    daemon.proc.send_signal(signal.SIGTERM)
    assert daemon.proc.wait(timeout=10) == 0
    print(f"\nexit after SIGTERM during a command: {(time.monotonic() - sent) * 1000:.0f} ms")
    update = standin.wait_for("command-updates", command_id=queued["id"], timeout=5)[0]
    assert update["status"] == "failed"
    assert "interrupted because the agent stopped" in update["result"]["error"]
