"""The daemon as a working agent against the stand-in: registration,
reporting, connection issues, commands and chat delivery."""
import json
import time

from conftest import CHAT_DIR, LOG, SETTINGS, STATE, TEMP_UNAVAILABLE, Daemon, log_text, settings_json, wait_until, write_outgoing


def test_start_up_registers_then_greets(agent_box, standin, agent_binary):
    daemon = Daemon(agent_box, agent_binary).start()
    try:
        wait_until(lambda: "Heartbeat sent successfully" in log_text(agent_box), what="start-up heartbeat")
    finally:
        daemon.stop()
    log = log_text(agent_box)
    inventory = log.index("Inventory sent successfully. reason=initial_registration device_uid=")
    heartbeat = log.index("Heartbeat sent successfully. reason=startup device_uid=")
    assert inventory < heartbeat
    state = json.loads(agent_box.read(STATE))
    assert state["deviceUid"] and state["supportId"] and state["deviceToken"]
    assert standin.list("inventories") and standin.list("heartbeats")
    register = standin.requests(path="/api/agent/devices/register")[0]
    assert register["headers"]["authorization"] == "Bearer ACME"
    beat = standin.requests(path="/api/agent/devices/heartbeat")[0]
    assert beat["headers"]["authorization"] == "Device " + state["deviceToken"]
    assert state["deviceToken"] not in log and "ACME" not in log

    # Registered now: the next start only greets.
    agent_box.path(LOG).unlink()
    daemon = Daemon(agent_box, agent_binary).start()
    try:
        wait_until(lambda: "Heartbeat sent successfully" in log_text(agent_box), what="second start-up")
    finally:
        daemon.stop()
    assert "Inventory sent" not in log_text(agent_box)


def test_connection_issue_recorded_then_cleared(agent_box, standin, agent_binary):
    standin.fail_with_status("/api/agent/devices/register", 503, count=None)
    standin.fail_with_status("/api/agent/devices/heartbeat", 503, count=None)
    r = agent_box.run([agent_binary, "--once"], cwd="/")
    assert r.returncode == 0
    state = json.loads(agent_box.read(STATE))
    assert state["connectionIssue"] == "temporarilyUnavailable"
    assert state["connectionMessage"] == TEMP_UNAVAILABLE
    assert "lastConnectionErrorAt" in state
    assert "Inventory send failed: Serwer jest chwilowo niedostępny" in log_text(agent_box)

    standin.clear_faults()
    assert agent_box.run([agent_binary, "--once"], cwd="/").returncode == 0
    state = json.loads(agent_box.read(STATE))
    assert "connectionIssue" not in state and "connectionMessage" not in state
    assert "reason=manual_once" in log_text(agent_box)


def test_tokens_never_reach_the_log(agent_box, standin, agent_binary):
    assert agent_box.run([agent_binary, "--once"], cwd="/").returncode == 0
    state = json.loads(agent_box.read(STATE))
    # The device token is refused (the client falls back to the viewer
    # token), then the viewer token is refused too: every failure is logged.
    standin.revoke_device_token(state["deviceUid"])
    standin.fail_with_status("/api/agent/devices/register", 401, body={"detail": "invalid viewer token"},
                             count=None)
    assert agent_box.run([agent_binary, "--once"], cwd="/").returncode == 0
    log = log_text(agent_box)
    assert "Inventory send failed: HTTP 401" in log and "Heartbeat sent successfully" in log
    for secret in ("ACME", state["deviceToken"]):
        assert secret not in log


def test_stand_in_down_is_a_connection_issue(agent_box, agent_binary):
    agent_box.write(SETTINGS, settings_json(url="https://127.0.0.1:9", token="ACME"))
    assert agent_box.run([agent_binary, "--once"], cwd="/", timeout=60).returncode == 0
    state = json.loads(agent_box.read(STATE))
    assert state["connectionIssue"] == "temporarilyUnavailable"
    assert state["connectionMessage"] == TEMP_UNAVAILABLE


def test_chat_files_written_during_an_outage_arrive_exactly_once(agent_box, standin, agent_binary):
    agent_box.configure(chatPollIntervalSeconds=1)
    daemon = Daemon(agent_box, agent_binary).start()
    try:
        wait_until(lambda: "Heartbeat sent successfully" in log_text(agent_box), what="registration")
        wait_until(lambda: agent_box.path(CHAT_DIR).is_dir(), what="chat directory")
        uid = json.loads(agent_box.read(STATE))["deviceUid"]
        chat_path = f"/api/agent/devices/{uid}/chat-messages"
        standin.fail_with_status(chat_path, 503, count=None)
        ids = [write_outgoing(agent_box, "session-1", f"wiadomość {i}") for i in range(100)]
        wait_until(lambda: "Remote chat reply send failed" in log_text(agent_box), what="failed sends")
        standin.clear_faults()
        wait_until(lambda: len(standin.list("chat-messages")) >= 100, timeout=60, what="100 messages")
        time.sleep(1.5)  # one more delivery pass must not send anything again
    finally:
        daemon.stop()
    delivered = [r["json"]["client_message_id"] for r in standin.requests(path=chat_path)
                 if 200 <= r["status"] < 300]
    assert sorted(delivered) == sorted(ids)
    assert not list(agent_box.path(CHAT_DIR).glob("*.outgoing.json"))


def wait_for_final_updates(standin, count, timeout):
    def final():
        items = [u for u in standin.list("command-updates") if u["status"] in ("completed", "failed")]
        return items if len(items) >= count else None
    return wait_until(final, timeout=timeout, interval=0.25, what=f"{count} command results")


def test_queued_commands_come_back_with_their_results(agent_box, standin, agent_binary):
    agent_box.configure(commandPollIntervalSeconds=30)
    daemon = Daemon(agent_box, agent_binary).start()
    try:
        wait_until(lambda: "Heartbeat sent successfully" in log_text(agent_box), what="registration")
        uid = json.loads(agent_box.read(STATE))["deviceUid"]
        queue = [
            {"id": 101, "command_type": "shell",
             "payload": {"shell": "bash", "command": "echo out; echo err >&2; sleep 5", "timeout_seconds": 1}},
            {"id": 102, "command_type": "shell",
             "payload": {"shell": "bash", "command": "head -c 250000 /dev/zero | tr '\\0' x"}},
            {"id": 103, "command_type": "shell", "payload": {"shell": "sh", "command": "printf '\\377\\376'"}},
            {"id": 104, "command_type": "Shell", "payload": {"command": "id"}},
            {"id": 105, "command_type": "force_audit"},
        ]
        for command in queue[:4]:
            standin.queue_command(uid, command, notify=True)
        # The forced audit runs while registration fails: still "audit_sent".
        standin.fail_with_status("/api/agent/devices/register", 500, count=None)
        standin.queue_command(uid, queue[4], notify=True)
        wait_for_final_updates(standin, 5, timeout=75)
    finally:
        daemon.stop()
    by_id = {}
    for update in standin.list("command-updates"):
        by_id.setdefault(update["command_id"], []).append(update)
    slow = by_id[101][-1]
    assert slow["status"] == "completed"
    r = slow["result"]
    assert r["timed_out"] is True and r["exit_code"] == 15 and r["stdout"] == "out\n" and r["stderr"] == "err\n"
    assert set(r) == {"platform", "shell", "executable", "command", "exit_code", "stdout", "stderr", "timed_out",
                      "duration_ms", "completed_at"}
    big = by_id[102][-1]["result"]
    assert big["stdout"] == "x" * 200000 + "\n...[output truncated by Sekwo Tarnvik]..."
    assert by_id[103][-1]["result"]["stdout"] == ""
    assert by_id[104][-1]["status"] == "failed"
    assert by_id[104][-1]["result"] == {"error": "Unsupported macOS command Shell"}
    assert by_id[105][-1]["status"] == "completed" and by_id[105][-1]["result"] == {"audit_sent": True}
    assert "pending commands. reason=" in log_text(agent_box)
